"""Reading delimited text tables as sensors and spreadsheets write them.

Accepted: UTF-8 with or without a byte-order mark, Latin-1 text, and `,`, `;` or tab as the
delimiter, found from the header line. Anything else (binary data, a NumPy archive, UTF-16
text, bytes that are no text) is refused with one line that says what the file is.
"""

import csv
import io
from dataclasses import dataclass
from pathlib import Path

from ..errors import WorkbenchError

DELIMITERS = (",", ";", "\t")
# Bytes that never occur in text: C0 controls other than tab, line feed, carriage return and
# form feed, and the C1 range that Latin-1 maps to controls.
_CONTROL = bytes([*range(0x00, 0x09), 0x0B, *range(0x0E, 0x20), *range(0x7F, 0xA0)])


@dataclass
class Table:
    header: list[str]  # as written, stripped
    rows: list[tuple[int, list[str]]]  # (line number, fields) of every non-empty row
    delimiter: str

    def column(self, name: str) -> int | None:
        """The index of a column, matched case-insensitively, or None."""
        lowered = [h.lower() for h in self.header]
        return lowered.index(name.lower()) if name.lower() in lowered else None


def _what_it_is(data: bytes) -> str | None:
    """A description of a file that is not text, or None for text."""
    if data.startswith(b"PK\x03\x04"):
        return "a zip archive (a .npz file?), not a CSV file"
    if data.startswith(b"\x93NUMPY"):
        return "a NumPy array file, not a CSV file"
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        return "UTF-16 text: save it as UTF-8"
    if b"\x00" in data[:4096]:
        return "binary data, not a CSV file"
    return None


def decode(path: Path, data: bytes) -> str:
    problem = _what_it_is(data)
    if problem:
        raise WorkbenchError(f"{path}: {problem}")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        pass
    if len(data.translate(None, _CONTROL)) == len(data):
        return data.decode("latin-1")
    raise WorkbenchError(f"{path}: not text in UTF-8 or Latin-1")


def sniff_delimiter(header_line: str) -> str:
    """The delimiter that splits the header into the most fields (`,` if none does)."""
    counts = [header_line.count(d) for d in DELIMITERS]
    return DELIMITERS[counts.index(max(counts))] if max(counts) else ","


def read_table(path: str | Path) -> Table:
    path = Path(path)
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise WorkbenchError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise WorkbenchError(f"{path}: a directory, not a file") from None
    except OSError as err:
        raise WorkbenchError(f"{path}: cannot read ({err.strerror})") from None
    text = decode(path, data)
    delimiter = sniff_delimiter(text.split("\n", 1)[0])
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    try:
        header = [name.strip() for name in next(reader, [])]
        rows = [(reader.line_num, row) for row in reader if any(f.strip() for f in row)]
    except csv.Error as err:
        raise WorkbenchError(f"{path}:{reader.line_num}: {err}") from None
    return Table(header, rows, delimiter)


def to_float(text: str, delimiter: str) -> float:
    """A number as written; where the delimiter is not a comma, a decimal comma too."""
    try:
        return float(text)
    except ValueError:
        if delimiter != "," and "," in text:
            return float(text.replace(",", "."))
        raise
