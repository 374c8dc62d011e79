"""Where a sensor's bytes come from: a serial port, UDP datagrams, a descriptor, a file.

Each transport yields the bytes as they arrive, in pieces of any size, and ends when the
sensor disappears (port unplugged, socket closed, end of file) or, once data has flowed,
stays silent for `silence_s`: a stream that has ended must end the pipe, so that the
gesture worker sees the end too instead of waiting for samples that never come.
"""

import ipaddress
import logging
import os
import select
import socket
import time
from collections.abc import Iterator
from pathlib import Path

from ..errors import WorkbenchError
from ..install_hints import install_hint
from .decoding import Drops

log = logging.getLogger("velmorakit.sources")

READ_BYTES = 65536


class Transport:
    """Bytes as they arrive; subclasses read with a time limit and say when they have ended.
    What a transport refuses is counted in `drops`, which the decoder then adds to."""

    name = "source"

    def __init__(self, silence_s: float):
        self.silence_s = silence_s
        self.drops = Drops()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self) -> None:
        pass

    def receive(self, timeout: float) -> bytes | None:
        """Bytes that arrived within `timeout` (b"" when none), or None once the source is gone."""
        raise NotImplementedError

    def chunks(self) -> Iterator[bytes]:
        last = None
        while True:
            data = self.receive(self.silence_s)
            if data is None:
                log.info("%s ended", self.name)
                return
            now = time.monotonic()
            if data:
                last = now
                yield data
            elif last is not None and now - last >= self.silence_s:
                log.warning("%s silent for %g s: ending the stream", self.name, self.silence_s)
                return


class SerialTransport(Transport):
    def __init__(self, device: str, baud: int, silence_s: float):
        super().__init__(silence_s)
        try:
            import serial
        except ImportError:
            raise WorkbenchError(f"serial ports need pyserial: {install_hint('serial')}") from None

        self.name = f"serial port {device}"
        self._errors = (serial.SerialException, OSError)
        try:
            self.port = serial.Serial(device, baud, timeout=silence_s)
        except self._errors as err:
            raise WorkbenchError(f"cannot open the serial port {device}: {err}") from None

    def receive(self, timeout: float) -> bytes | None:
        try:
            data = self.port.read(1)  # waits up to the port's timeout for the first byte
            if data and self.port.in_waiting:
                data += self.port.read(self.port.in_waiting)
        except self._errors:
            return None  # unplugged, or the other end of a pseudo-terminal closed
        return data

    def close(self) -> None:
        self.port.close()


class UdpTransport(Transport):
    """Datagrams of one or more lines; a datagram always ends its last line.

    Any process that can reach the port could inject samples: the stream takes datagrams
    from the hosts in `allow` (names or addresses, any port), or without them only from its
    first sender (address and port). Datagrams of others are dropped and counted ("foreign").
    """

    def __init__(self, host: str, port: int, silence_s: float, allow: tuple[str, ...] = ()):
        super().__init__(silence_s)
        self.name = f"UDP {host}:{port}"
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.allowed = {address for name in allow for address in _addresses(name)}
        self.sender = None  # (address, port) the stream is locked to
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        try:
            self.sock.bind((host, port))
        except OSError as err:
            self.sock.close()
            raise WorkbenchError(f"cannot listen on UDP {host}:{port}: {err.strerror}") from None
        if not _address(self.sock.getsockname()[0]).is_loopback:
            accepted = ", ".join(allow) if allow else "the first sender only (or give --allow)"
            log.warning(
                "UDP %s:%d takes datagrams from the network; accepted: %s", host, port, accepted
            )

    def receive(self, timeout: float) -> bytes | None:
        self.sock.settimeout(timeout)
        try:
            data, sender = self.sock.recvfrom(READ_BYTES)
        except TimeoutError:
            return b""
        except OSError:
            return None
        if not self._accepts(sender[:2]):
            self.drops.add("foreign", f"{sender[0]} port {sender[1]}")
            return b""
        return data if data.endswith(b"\n") else data + b"\n"

    def _accepts(self, sender: tuple[str, int]) -> bool:
        if self.allowed:
            return _address(sender[0]) in self.allowed
        if self.sender is None:
            self.sender = sender
            log.info("UDP stream from %s port %d", *sender)
        return sender == self.sender

    def close(self) -> None:
        self.sock.close()


def _address(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address:
    """An address as a comparable value; an IPv4 sender seen by an IPv6 socket as itself."""
    address = ipaddress.ip_address(text.split("%")[0])
    return getattr(address, "ipv4_mapped", None) or address


def _addresses(host: str) -> set:
    """The addresses of a host name or address given with --allow."""
    try:
        found = socket.getaddrinfo(host, None, type=socket.SOCK_DGRAM)
    except OSError:
        raise WorkbenchError(f"--allow {host}: no such host") from None
    return {_address(info[4][0]) for info in found}


class DescriptorTransport(Transport):
    """A pipe or terminal such as standard input; end of file ends the stream."""

    def __init__(self, fd: int, name: str, silence_s: float):
        super().__init__(silence_s)
        self.fd, self.name = fd, name

    def receive(self, timeout: float) -> bytes | None:
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return b""
        try:
            data = os.read(self.fd, READ_BYTES)
        except OSError:
            return None
        return data or None

    def close(self) -> None:
        os.close(self.fd)


class FileTransport(Transport):
    """A recorded file; replay paces the rows it gives."""

    def __init__(self, path: str):
        super().__init__(silence_s=0.0)
        self.name = f"file {path}"
        try:
            self.handle = Path(path).open("rb")
        except OSError as err:
            raise WorkbenchError(f"{path}: cannot read ({err.strerror})") from None

    def chunks(self) -> Iterator[bytes]:
        yield from self.handle  # line by line, so that the counters keep pace with the replay

    def close(self) -> None:
        self.handle.close()
