"""Sections of BENCHMARKS.md written by the scripts other than run.py, each kept between its markers.

run.py rewrites the file and puts these sections back after its own text, so each script can
update its part alone.
"""

from __future__ import annotations

import re
from pathlib import Path

PATH = Path(__file__).resolve().parent.parent / "BENCHMARKS.md"
_SECTION = re.compile(r"^<!-- (?P<name>\S+): begin -->$.*?^<!-- (?P=name): end -->$\n?", re.M | re.S)


def _marked(name: str, text: str) -> str:
    return f"<!-- {name}: begin -->\n{text.strip()}\n<!-- {name}: end -->\n"


def kept(path: Path = PATH) -> str:
    """The marked sections of the file as they stand, in their order ('' when there are none)."""
    if not path.exists():
        return ""
    return "\n".join(m.group(0).rstrip("\n") + "\n" for m in _SECTION.finditer(path.read_text()))


def write(name: str, text: str, path: Path = PATH) -> None:
    """Puts `text` in the file as section `name`, in its old place or else at the end."""
    old = path.read_text() if path.exists() else ""
    new = _marked(name, text)
    for m in _SECTION.finditer(old):
        if m.group("name") == name:
            path.write_text(old[: m.start()] + new + old[m.end() :])
            return
    path.write_text(old.rstrip() + "\n\n" + new if old else new)
