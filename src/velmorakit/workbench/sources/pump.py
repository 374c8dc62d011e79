"""The producer process: a source's rows sent into the sensor pipe, one row per `send`.

Rows go out the moment the bytes that complete them arrive (or, for a replay, when their
time has come: a replayed file pauses where its time stamps, or the gap_s column of an
imported recording, show that the sensor did, so that the worker stalls there as it would
have live). When the source ends the pipe is closed, and the gesture worker reading
the other end sees the end of the stream. Counters live in shared memory, so that the
parent can report them while the stream runs and after it has ended, and so does the reason
a source could not open or failed, for the parent to report in its own one-line error.
"""

import logging
import sys
import time

from ...conditioning import DT, SAMPLE_RATE
from ...errors import InputError
from ..stalls import STALL_S
from .decoding import DROP_KINDS, LineDecoder
from .kinds import KINDS, SourceSettings

# Shared counters, in this order, then one per kind of dropped input.
COUNTERS = ("read", "sent", "gaps", "ready", "started", "ended")
SLOTS = COUNTERS + tuple(DROP_KINDS)


class Counters:
    """A view of the shared counter array: rows read and sent, drops by kind, gaps."""

    def __init__(self, array):
        self.array = array

    def __getattr__(self, name: str) -> float:
        try:
            return self.array[SLOTS.index(name)]
        except ValueError:
            raise AttributeError(name) from None

    def set(self, name: str, value: float) -> None:
        self.array[SLOTS.index(name)] = value

    @property
    def drops(self) -> dict[str, int]:
        return {kind: int(getattr(self, kind)) for kind in DROP_KINDS}

    @property
    def dropped(self) -> int:
        return sum(self.drops.values())


# Bytes of the shared buffer that holds the reason of a failure.
REASON_BYTES = 512

# A replay pauses at most this long for a gap (of seconds, minutes or unknown length): long
# enough to stall the worker, short enough not to wait out a sensor that was off for an hour.
LONGEST_PAUSE_S = 2 * STALL_S


def pump(settings: SourceSettings, conn, shared, reason=None) -> None:
    """Process body: stream `settings`' rows into `conn`, then close it. Exit code 1 when the
    source cannot be opened or fails (the "ready" counter tells which); the reason goes into
    the shared `reason` buffer, or without one as a line on standard error."""
    logging.basicConfig(format="velmorakit source: %(message)s", level=logging.INFO)
    counters = Counters(shared)
    code = 0
    try:
        _stream(settings, conn, counters)
    except InputError as err:
        if reason is None:
            logging.getLogger("velmorakit.sources").error("%s", err)
        else:
            reason.value = str(err).encode()[: REASON_BYTES - 1]
        code = 1
    except BrokenPipeError:
        pass  # the worker has gone: there is no one left to stream to
    finally:
        # Marked ended before the pipe closes: whoever sees the end of the stream then
        # waits for this process instead of ending it.
        counters.set("ended", 1)
        conn.close()
    sys.exit(code)


def _stream(settings: SourceSettings, conn, counters: Counters) -> None:
    kind = KINDS[settings.kind]
    pace = SAMPLE_RATE * settings.speed if kind.paced and settings.speed else None
    sender = _Sender(conn, counters, pace)
    with kind.open(settings) as transport:
        counters.set("ready", 1)  # the port is open, the socket bound
        # The transport's drops (datagrams of strangers) and the decoder's go in one tally.
        decoder = LineDecoder(settings.fmt, transport.drops)
        try:
            for chunk in transport.chunks():
                if kind.yields_rows:
                    counters.set("read", counters.read + 1)
                    sender.send(chunk)
                    continue
                rows = decoder.feed(chunk)
                _update(counters, decoder)  # a few microseconds: read counts before sent
                for row in rows:
                    sender.send(row, decoder.gaps_before.pop(sender.sent, DT))
            rows = [] if kind.yields_rows else decoder.finish()
        finally:
            if not kind.yields_rows:  # also when the stream is refused: what it read counts
                _update(counters, decoder)
        for row in rows:
            sender.send(row, decoder.gaps_before.pop(sender.sent, DT))


def _update(counters: Counters, decoder: LineDecoder) -> None:
    counters.set("read", decoder.read)
    counters.set("gaps", decoder.gaps)
    for kind, n in decoder.drops.counts.items():
        counters.set(kind, n)


class _Sender:
    """Sends rows, each at once or, for a replay, at its time on the paced grid."""

    def __init__(self, conn, counters: Counters, pace_hz: float | None):
        self.conn, self.counters, self.pace_hz = conn, counters, pace_hz
        self.start = None
        self.sent = 0

    def send(self, row: list[float], after_s: float = DT) -> None:
        """Sends `row`; a replay sends it `after_s` seconds of the recording after the row
        before it (a sample period, or longer after a gap)."""
        if self.start is None:
            self.start = time.monotonic()
            self.counters.set("started", self.start)
        elif self.pace_hz:
            self.start += (min(after_s, LONGEST_PAUSE_S) - DT) * SAMPLE_RATE / self.pace_hz
            delay = self.start + self.sent / self.pace_hz - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        self.conn.send(row)
        self.sent += 1
        self.counters.set("sent", self.sent)
