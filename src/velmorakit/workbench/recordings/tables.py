"""Reading delimited text tables as sensors and spreadsheets write them.

Accepted: UTF-8 with or without a byte-order mark, Latin-1 text, and `,`, `;` or tab as the
delimiter, found from the header line. Anything else (binary data, a NumPy archive, UTF-16
text, bytes that are no text) is refused with one line that says what the file is.

Tables are read row by row from the file, never whole: an eight-hour sensor file holds
millions of rows, which as Python lists of strings would take gigabytes.
"""

import codecs
import csv
from collections.abc import Iterator
from pathlib import Path

from ..errors import WorkbenchError

DELIMITERS = (",", ";", "\t")
# Bytes that never occur in text: C0 controls other than tab, line feed, carriage return and
# form feed, and the C1 range that Latin-1 maps to controls.
_CONTROL = bytes([*range(0x00, 0x09), 0x0B, *range(0x0E, 0x20), *range(0x7F, 0xA0)])
# Bytes read at a time while the encoding is checked and the header line is looked for.
CHUNK_BYTES = 1 << 20


class Table:
    """A table's header and dialect; its rows are read from the file each time `rows` is
    iterated, so that a file of any length takes little memory."""

    def __init__(self, path: Path, header: list[str], delimiter: str, encoding: str):
        self.path = path
        self.header = header  # as written, stripped
        self.delimiter = delimiter
        self.encoding = encoding

    @property
    def rows(self) -> Iterator[tuple[int, list[str]]]:
        """(line number, fields) of every non-empty row after the header."""
        with _opened(self.path, self.encoding) as handle:
            reader = csv.reader(handle, delimiter=self.delimiter)
            try:
                next(reader, None)
                for row in reader:
                    if any(f.strip() for f in row):
                        yield reader.line_num, row
            except csv.Error as err:
                raise WorkbenchError(f"{self.path}:{reader.line_num}: {err}") from None

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


def _opened(path: Path, encoding: str | None = None):
    """`path` opened for reading, as text in `encoding` or else as bytes, with failures as
    one-line errors."""
    try:
        return path.open("rb") if encoding is None else path.open(encoding=encoding, newline="")
    except FileNotFoundError:
        raise WorkbenchError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise WorkbenchError(f"{path}: a directory, not a file") from None
    except OSError as err:
        raise WorkbenchError(f"{path}: cannot read ({err.strerror})") from None


def _chunks(handle) -> Iterator[bytes]:
    while chunk := handle.read(CHUNK_BYTES):
        yield chunk


def encoding_of(path: Path) -> str:
    """The file's encoding, "utf-8-sig" or "latin-1", checked over all of its bytes: a file
    that is not valid UTF-8 throughout is Latin-1 if it holds no control bytes."""
    with _opened(path) as handle:
        problem = _what_it_is(handle.read(4096))
        if problem:
            raise WorkbenchError(f"{path}: {problem}")
        handle.seek(0)
        decoder = codecs.getincrementaldecoder("utf-8-sig")()
        try:
            for chunk in _chunks(handle):
                decoder.decode(chunk)
            decoder.decode(b"", final=True)
            return "utf-8-sig"
        except UnicodeDecodeError:
            pass
        handle.seek(0)
        if all(len(chunk.translate(None, _CONTROL)) == len(chunk) for chunk in _chunks(handle)):
            return "latin-1"
    raise WorkbenchError(f"{path}: not text in UTF-8 or Latin-1")


def sniff_delimiter(header_line: str) -> str:
    """The delimiter that splits the header into the most fields (`,` if none does)."""
    counts = [header_line.count(d) for d in DELIMITERS]
    return DELIMITERS[counts.index(max(counts))] if max(counts) else ","


def _first_line(handle) -> str:
    """The text before the first line feed."""
    parts = []
    while chunk := handle.read(CHUNK_BYTES):
        parts.append(chunk)
        if "\n" in chunk:
            break
    return "".join(parts).split("\n", 1)[0]


def read_table(path: str | Path) -> Table:
    """The table in `path`: its encoding checked and its header read; rows come later."""
    path = Path(path)
    encoding = encoding_of(path)
    with _opened(path, encoding) as handle:
        delimiter = sniff_delimiter(_first_line(handle))
        handle.seek(0)
        reader = csv.reader(handle, delimiter=delimiter)
        try:
            header = [name.strip() for name in next(reader, [])]
        except csv.Error as err:
            raise WorkbenchError(f"{path}:{reader.line_num}: {err}") from None
    return Table(path, header, delimiter, encoding)


def to_float(text: str, delimiter: str) -> float:
    """A number as written; where the delimiter is not a comma, a decimal comma too."""
    try:
        return float(text)
    except ValueError:
        if delimiter != "," and "," in text:
            return float(text.replace(",", "."))
        raise
