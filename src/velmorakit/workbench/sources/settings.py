"""What a source is, as the command line names it, in a form that crosses into a process.

`serial:/dev/ttyACM0`, `udp:5005` or `udp:HOST:PORT`, `stdin` (or `-`), `file:PATH` (or
just a path). Rows prepared in memory (the demo's simulated session) replay like a file.
"""

import os
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

KINDS = ("serial", "udp", "stdin", "file", "rows")
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

    @property
    def description(self) -> str:
        return {"stdin": "standard input", "rows": "simulated session"}.get(
            self.kind, f"{self.kind} {self.target}"
        )


def parse_source(text: str, **options) -> SourceSettings:
    """The source that `text` names, with the other `SourceSettings` fields from `options`."""
    kind, sep, target = text.partition(":")
    if text in ("stdin", "-"):
        return SourceSettings("stdin", **options)
    if sep and kind == "serial" and target:
        return SourceSettings("serial", target, **options)
    if sep and kind == "udp" and target:
        host, _, port = target.rpartition(":")
        if not port.isdigit() or not 0 < int(port) < 65536:
            raise WorkbenchError(f"{text!r}: give udp:PORT or udp:HOST:PORT")
        return SourceSettings("udp", f"{host or DEFAULT_HOST}:{port}", **options)
    if sep and kind == "file" and target:
        if not Path(target).is_file():
            raise WorkbenchError(f"{target}: no such file")
        return SourceSettings("file", target, **options)
    if not sep and Path(text).is_file():
        return SourceSettings("file", text, **options)
    raise WorkbenchError(
        f"unknown source {text!r}: use serial:DEVICE, udp:[HOST:]PORT, stdin or file:PATH"
    )


def open_transport(settings: SourceSettings) -> Transport:
    if settings.kind == "serial":
        return SerialTransport(settings.target, settings.baud, settings.silence_s)
    if settings.kind == "udp":
        host, _, port = settings.target.rpartition(":")
        return UdpTransport(host.strip("[]"), int(port), settings.silence_s)
    if settings.kind == "stdin":
        fd = settings.stdin.fd if settings.stdin else os.dup(0)
        return DescriptorTransport(fd, "standard input", settings.silence_s)
    if settings.kind == "file":
        return FileTransport(settings.target)
    raise WorkbenchError(f"source kind {settings.kind!r} has no transport")
