"""A source running as the producer process of a sensor pipe.

The producer is spawned, not forked, and this process closes its copy of the sending end
right away: a gesture worker forked later then holds no sending end, and sees the end of
the stream when the producer closes the only one. Children start with Ctrl-C ignored, so
that only this process handles it and stops them, without a traceback from each child.
"""

import multiprocessing
import signal
import time
from contextlib import contextmanager
from dataclasses import replace

from .kinds import InheritedFd, SourceSettings
from .pump import REASON_BYTES, SLOTS, Counters, pump

STOP_WAIT_S = 2.0
READY_POLL_S = 0.01


@contextmanager
def children_ignore_ctrl_c():
    """Processes started inside inherit Ctrl-C ignored (spawned interpreters keep that too)."""
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class SourceProcess:
    """Start with `start()`; `receiver` is the pipe end to hand to the gesture service."""

    def __init__(self, settings: SourceSettings):
        ctx = multiprocessing.get_context("spawn")
        if settings.kind == "stdin" and settings.stdin is None:
            settings = replace(settings, stdin=InheritedFd(0))
        self.settings = settings
        self.receiver, sender = ctx.Pipe(duplex=False)
        self.counters = Counters(ctx.Array("d", len(SLOTS), lock=False))
        self._reason = ctx.Array("c", REASON_BYTES, lock=False)
        self.process = ctx.Process(
            target=pump,
            args=(settings, sender, self.counters.array, self._reason),
            name="velmorakit-source",
            daemon=True,
        )
        self._sender = sender

    def start(self) -> None:
        with children_ignore_ctrl_c():
            self.process.start()
        self._sender.close()

    def wait_ready(self) -> bool:
        """Wait until the port is open or the socket bound (True), or the source has ended
        without (False): what a sensor sends before then is not read."""
        while not self.counters.ready:
            if not self.process.is_alive():
                return bool(self.counters.ready)
            time.sleep(READY_POLL_S)
        return True

    @property
    def ended(self) -> bool:
        return bool(self.counters.ended) or not self.process.is_alive()

    def failure(self) -> str | None:
        """One line on why the ended source failed, or None if it did not: it could not be
        opened, or it failed after it had opened."""
        code = self.process.exitcode
        if code is None or code <= 0:  # running, ended well, or stopped by a signal
            return None
        reason = self._reason.value.decode(errors="replace") or f"exit code {code}; see above"
        if self.counters.ready:
            return f"the source failed: {reason}"
        return f"the source could not be opened: {reason}"

    def stop(self) -> None:
        """End the producer: let it finish if its stream has ended, else end it now (it
        may be waiting for a silent sensor)."""
        if not self.counters.ended:
            self.process.terminate()
        self.process.join(STOP_WAIT_S)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
