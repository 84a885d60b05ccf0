"""Sections of BENCHMARKS.md that one script writes and the others keep.

A section is the text between two marker lines, `<!-- begin NAME -->` and `<!-- end NAME -->`,
markers included. bench/run.py writes the top of the file afresh and then appends every
section it found there; a script that owns a section replaces it in place (or appends it).
"""

from __future__ import annotations

import re

SECTION = re.compile(r"^<!-- begin ([\w-]+) -->\n.*?^<!-- end \1 -->\n?", re.MULTILINE | re.DOTALL)


def wrap(name: str, body: str) -> str:
    """`body` between the markers of section `name`."""
    return f"<!-- begin {name} -->\n{body.rstrip()}\n<!-- end {name} -->\n"


def put(text: str, name: str, body: str) -> str:
    """`text` with section `name` replaced by `body`, or with it appended if it is not there."""
    section = wrap(name, body)
    for m in SECTION.finditer(text):
        if m.group(1) == name:
            return text[: m.start()] + section + text[m.end() :]
    return text.rstrip("\n") + "\n\n" + section


def keep(new: str, old: str) -> str:
    """`new`, a freshly written report, followed by the sections `old` had that `new` lacks."""
    present = {m.group(1) for m in SECTION.finditer(new)}
    kept = [m.group(0).rstrip("\n") + "\n" for m in SECTION.finditer(old) if m.group(1) not in present]
    return new.rstrip("\n") + "\n" + "".join("\n" + s for s in kept)
