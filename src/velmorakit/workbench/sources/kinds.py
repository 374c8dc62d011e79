"""The kinds of source, one entry each, and a source's settings in a form that crosses into a
process.

`serial:/dev/ttyACM0`, `udp:5005` or `udp:HOST:PORT`, `stdin` (or `-`), `file:PATH` (or
just a path). Rows prepared in memory (the demo's simulated session) replay like a file.
A new kind is one `Kind` in `KINDS`: how the command line names it, how its target is checked,
how it is opened, and whether it is replayed at a pace.
"""

import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from multiprocessing import reduction
from pathlib import Path

from ..errors import WorkbenchError
from .decoding import Format
from .transports import (
    DescriptorTransport,
    FileTransport,
    SerialTransport,
    Transport,
    UdpTransport,
)

DEFAULT_HOST = "127.0.0.1"


class InheritedFd:
    """A descriptor of this process handed to a spawned child, which gets its own copy.

    A spawned child's standard input is /dev/null, so standard input reaches the source
    process this way.
    """

    def __init__(self, fd: int):
        self.fd = fd

    def __reduce__(self):
        return _rebuild_fd, (reduction.DupFd(self.fd),)


def _rebuild_fd(dup) -> InheritedFd:
    return InheritedFd(dup.detach())


@dataclass(frozen=True)
class SourceSettings:
    kind: str
    target: str = ""  # device, host:port or path
    fmt: Format = field(default_factory=Format)
    baud: int = 115200
    speed: float | None = None  # replay pace in times real time; None: as the data come
    silence_s: float = 2.0
    rows: list | None = None  # kind "rows": engine rows to replay
    stdin: InheritedFd | None = None
    allow: tuple[str, ...] = ()  # kind "udp": hosts to take datagrams from; (): the first sender

    @property
    def description(self) -> str:
        return {"stdin": "standard input", "rows": "simulated session"}.get(
            self.kind, f"{self.kind} {self.target}"
        )


def parse_source(text: str, **options) -> SourceSettings:
    """The source that `text` names, with the other `SourceSettings` fields from `options`."""
    if text in ("stdin", "-"):
        return SourceSettings("stdin", **options)
    name, sep, target = text.partition(":")
    kind = KINDS.get(name)
    if sep and kind is not None and kind.parse is not None and target:
        return SourceSettings(name, kind.parse(target), **options)
    if not sep and Path(text).is_file():
        return SourceSettings("file", text, **options)
    raise WorkbenchError(f"unknown source {text!r}: use {USAGE}")


def open_transport(settings: SourceSettings) -> Transport:
    return KINDS[settings.kind].open(settings)


def _udp_target(target: str) -> str:
    host, _, port = target.rpartition(":")
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise WorkbenchError(f"{'udp:' + target!r}: give udp:PORT or udp:HOST:PORT")
    return f"{host or DEFAULT_HOST}:{port}"


def _existing_file(target: str) -> str:
    if not Path(target).is_file():
        raise WorkbenchError(f"{target}: no such file")
    return target


def _open_udp(settings: SourceSettings) -> Transport:
    host, _, port = settings.target.rpartition(":")
    return UdpTransport(host.strip("[]"), int(port), settings.silence_s, settings.allow)


def _open_stdin(settings: SourceSettings) -> Transport:
    fd = settings.stdin.fd if settings.stdin else os.dup(0)
    return DescriptorTransport(fd, "standard input", settings.silence_s)


class RowsTransport(Transport):
    """Engine rows held in memory, yielded one at a time instead of bytes."""

    def __init__(self, rows: list):
        super().__init__(0.0)
        self.rows = rows

    def chunks(self) -> Iterator[list]:
        for row in self.rows:
            yield list(row)


@dataclass(frozen=True)
class Kind:
    """One kind of source: its name on the command line and how to check, open and pace it."""

    usage: str  # as the command line names it, for help and errors; "" for internal kinds
    open: Callable[[SourceSettings], Transport]
    parse: Callable[[str], str] | None = None  # the checked target after "kind:"
    paced: bool = False  # replayed at --speed rather than as its data come
    yields_rows: bool = False  # its transport yields engine rows, not bytes to decode


KINDS = {
    "serial": Kind(
        "serial:DEVICE",
        lambda s: SerialTransport(s.target, s.baud, s.silence_s),
        parse=str,
    ),
    "udp": Kind("udp:[HOST:]PORT", _open_udp, parse=_udp_target),
    "stdin": Kind("stdin", _open_stdin),
    "file": Kind("file:PATH", lambda s: FileTransport(s.target), parse=_existing_file, paced=True),
    "rows": Kind("", lambda s: RowsTransport(s.rows), paced=True, yields_rows=True),
}
_named = [k.usage for k in KINDS.values() if k.usage]
USAGE = ", ".join(_named[:-1]) + " or " + _named[-1]
