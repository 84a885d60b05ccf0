"""Sections of BENCHMARKS.md, each kept between its markers, so that each script can update its part alone.

run.py rewrites the file: its header, then its own sections, then the other scripts' as they stand.
"""

from __future__ import annotations

import re
from pathlib import Path

PATH = Path(__file__).resolve().parent.parent / "BENCHMARKS.md"
_SECTION = re.compile(
    r"^<!-- (?P<name>\S+): begin -->$\n(?P<body>.*?)^<!-- (?P=name): end -->$\n?", re.M | re.S
)


def marked(name: str, text: str) -> str:
    """`text` as section `name`, between its markers."""
    return f"<!-- {name}: begin -->\n{text.strip()}\n<!-- {name}: end -->\n"


def read(path: Path = PATH) -> dict[str, str]:
    """The text of each marked section of the file, by name, in their order (none when there is no file)."""
    if not path.exists():
        return {}
    return {m.group("name"): m.group("body").strip() for m in _SECTION.finditer(path.read_text())}


def write(name: str, text: str, path: Path = PATH) -> None:
    """Puts `text` in the file as section `name`, in its old place or else at the end."""
    old = path.read_text() if path.exists() else ""
    new = marked(name, text)
    for m in _SECTION.finditer(old):
        if m.group("name") == name:
            path.write_text(old[: m.start()] + new + old[m.end() :])
            return
    path.write_text(old.rstrip() + "\n\n" + new if old else new)
