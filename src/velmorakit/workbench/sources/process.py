"""A source running as the producer process of a sensor pipe.

The producer is spawned, not forked, and this process closes its copy of the sending end
right away: a gesture worker forked later then holds no sending end, and sees the end of
the stream when the producer closes the only one. Children start with Ctrl-C ignored, so
that only this process handles it and stops them, without a traceback from each child.
"""

import multiprocessing
import signal
from contextlib import contextmanager
from dataclasses import replace

from .kinds import InheritedFd, SourceSettings
from .pump import SLOTS, Counters, pump

STOP_WAIT_S = 2.0


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
        self.process = ctx.Process(
            target=pump,
            args=(settings, sender, self.counters.array),
            name="velmorakit-source",
            daemon=True,
        )
        self._sender = sender

    def start(self) -> None:
        with children_ignore_ctrl_c():
            self.process.start()
        self._sender.close()

    @property
    def ended(self) -> bool:
        return bool(self.counters.ended) or not self.process.is_alive()

    def stop(self) -> None:
        """End the producer: let it finish if its stream has ended, else end it now (it
        may be waiting for a silent sensor)."""
        if not self.counters.ended:
            self.process.terminate()
        self.process.join(STOP_WAIT_S)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
