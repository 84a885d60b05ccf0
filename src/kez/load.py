"""Readers for collections of series stored as UCR/UEA ``.ts`` files or as CSV, one series a row."""

from __future__ import annotations

import csv
import io
import math
import os

PathLike = str | os.PathLike[str]

# Cells that stand for a missing sample.
_MISSING_CSV = ("", "nan")
_MISSING_TS = ("?", "nan")


def _number(cell: str, missing: tuple[str, ...], where: str, column: int) -> float:
    text = cell.strip()
    if text.lower() in missing:
        return math.nan
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{where}: value {column} is {cell!r}, not a number") from None


def _text(path: PathLike) -> str:
    """The file's contents as UTF-8 text (an opening byte-order mark is dropped), line ends untouched.

    Bytes that are not UTF-8 raise ValueError naming the file and the line they are on.
    """
    with open(path, "rb") as f:
        data = f.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        before = data[: error.start].decode("utf-8-sig")
        line = before.replace("\r\n", "\n").replace("\r", "\n").count("\n") + 1
        raise ValueError(
            f"{os.fspath(path)}, line {line}: byte {data[error.start]:#04x} is not UTF-8 text"
        ) from None


def _csv_hint(heading: bool, header: bool, index: bool, first: str) -> str:
    """What to pass when a row of a CSV file holds a cell that is not a number: the first row
    may name the columns, and a first cell that is not a number may name the row."""
    if heading:
        return "if this row names the columns, pass header=True"
    if index:
        return ""
    try:
        _number(first, _MISSING_CSV, "", 1)
    except ValueError:
        # A header of column numbers reads as a series, so it is named too, unless already skipped.
        also = (
            ""
            if header
            else ", and header=True if the first row names the columns (as DataFrame.to_csv writes)"
        )
        return "if the first column names the rows, pass index=True" + also
    return ""


def load_csv(path: PathLike, header: bool = False, index: bool = False) -> list[list[float]]:
    """Reads one series a row from a CSV file; rows may differ in length.

    Empty cells and ``NaN`` become NaN; blank lines are skipped. With `header` the first row
    (the column names) is skipped; with `index` the first cell of every row (a row name) is
    dropped. A file written by pandas' ``DataFrame.to_csv()``, series as rows, has both: read
    it with ``load_csv(path, header=True, index=True)``, or write it with
    ``to_csv(path, header=False, index=False)`` and read it with ``load_csv(path)``. Its header
    row of column numbers (``,0,1,2``) reads as numbers, so without `header` it would silently
    be taken for a series.

    A cell that is not a number, and anything the CSV reader refuses (a NUL byte, a cell too
    long), raises ValueError naming the file and the line, with a hint to pass ``header=True``
    when that is the first row, or ``index=True`` when the row's first cell is not a number; so
    do bytes that are not UTF-8.
    """
    series: list[list[float]] = []
    reader = csv.reader(io.StringIO(_text(path), newline=""))
    first = True  # no row read yet
    while True:
        try:
            row = next(reader)
        except StopIteration:
            return series
        except csv.Error as error:
            raise ValueError(f"{os.fspath(path)}, line {reader.line_num}: {error}") from None
        if not row:
            continue
        heading, first = first, False
        if heading and header:
            continue
        where = f"{os.fspath(path)}, line {reader.line_num}"
        # Cells are counted along the line, a dropped row name included, as the file shows them.
        start = 2 if index else 1
        cells = row[start - 1 :]
        try:
            series.append([_number(cell, _MISSING_CSV, where, c) for c, cell in enumerate(cells, start)])
        except ValueError as error:
            hint = _csv_hint(heading, header, index, row[0])
            if not hint:
                raise
            raise ValueError(f"{error}; {hint}") from None


class _TsHeader:
    """What the ``@`` lines of a ``.ts`` file declare about its data lines."""

    def __init__(self) -> None:
        self.labelled = False
        self.labels: list[str] = []
        self.univariate = True

    def read(self, line: str, where: str) -> None:
        key, _, value = line.partition(" ")
        words = value.split()
        flag = words[0].lower() if words else ""
        key = key.lower()
        if key == "@timestamps" and flag == "true":
            raise ValueError(f"{where}: series with time stamps are not supported")
        if key == "@univariate" and flag == "false":
            self.univariate = False
        if key == "@dimensions" and words and words[0] != "1":
            self.univariate = False
        if key in ("@classlabel", "@targetlabel"):
            if flag not in ("true", "false"):
                raise ValueError(f"{where}: {line.split()[0]} must be followed by true or false")
            self.labelled = flag == "true"
            self.labels = words[1:] if key == "@classlabel" else []
        if not self.univariate:
            raise ValueError(f"{where}: multivariate data is not supported, only one dimension")


def load_ts(path: PathLike) -> tuple[list[list[float]], list[str]]:
    """Reads a univariate UCR/UEA ``.ts`` file; returns its series and their labels.

    Series may differ in length. ``?`` and ``NaN`` become NaN. The labels are the strings after
    the last ``:`` of each data line, one per series, or an empty list when the file declares
    ``@classLabel false``. Malformed input, bytes that are not UTF-8 included, raises ValueError
    naming the file and the line.
    """
    name = os.fspath(path)
    header = _TsHeader()
    series: list[list[float]] = []
    labels: list[str] = []
    in_data = False
    with io.StringIO(_text(path), newline=None) as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            where = f"{name}, line {number}"
            if not line or line.startswith("#"):
                continue
            if not in_data:
                if not line.startswith("@"):
                    raise ValueError(f"{where}: data before @data: {line[:40]!r}")
                if line.lower() == "@data":
                    in_data = True
                else:
                    header.read(line, where)
                continue
            parts = line.split(":")
            if header.labelled:
                if len(parts) < 2:
                    raise ValueError(f"{where}: no class label after the values")
                label = parts.pop().strip()
                if header.labels and label not in header.labels:
                    raise ValueError(f"{where}: label {label!r} is not one of {' '.join(header.labels)}")
                labels.append(label)
            if len(parts) != 1:
                raise ValueError(f"{where}: {len(parts)} dimensions, only univariate data is supported")
            cells = parts[0].split(",")
            series.append([_number(cell, _MISSING_TS, where, c) for c, cell in enumerate(cells, 1)])
    if not in_data:
        raise ValueError(f"{name}: no @data line")
    return series, labels
