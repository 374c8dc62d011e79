"""The gesture worker's log, read back to count the results it accepted.

The worker logs every accepted result at debug level on its standard error before queueing
it. Its queue keeps one result, so a result that a newer one replaces before the
application reads it is lost without a trace on the application's side; the log is where
that count can be taken without touching the queue. The worker's standard error is a pipe
into this process: accepted results are counted, the worker's debug and info lines
dropped, and everything else (warnings, a traceback) passed on to the real standard error.
"""

import multiprocessing
import os
import sys
import threading
from contextlib import contextmanager
from multiprocessing import util

ACCEPTED = "[VGesture] Gesture: "
QUIET_LEVELS = ("[DEBUG/", "[INFO/")
READ_WAIT_S = 2.0


class WorkerLog:
    def __init__(self):
        self.accepted = 0
        self._thread = None

    @contextmanager
    def capture(self):
        """Processes started inside write their standard error into this log. The gesture
        service started inside should log at debug level."""
        read_end, write_end = os.pipe()
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(write_end, 2)
        try:
            yield
        except BaseException:
            os.close(read_end)
            raise
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            os.close(write_end)
        self._thread = threading.Thread(target=self._read, args=(read_end,), daemon=True)
        self._thread.start()

    def _read(self, fd: int) -> None:
        with os.fdopen(fd, "r", errors="replace") as lines:
            for line in lines:
                if ACCEPTED in line:
                    self.accepted += 1
                elif not line.startswith(QUIET_LEVELS):
                    sys.stderr.write(line)
                    sys.stderr.flush()

    def finish(self) -> int:
        """Results accepted, once every process writing into the log has ended."""
        if self._thread is not None:
            self._thread.join(READ_WAIT_S)
        return self.accepted


@contextmanager
def parent_logging_kept():
    """Multiprocessing's logger of this process as it was before the block. Building the
    gesture service turns on multiprocessing's logging to standard error at the service's
    level, for its worker; put back once the worker has started, this process logs no more
    than before (no "[INFO/MainProcess] process shutting down" at exit)."""
    logger = multiprocessing.get_logger()
    level, handlers, to_stderr = logger.level, list(logger.handlers), util._log_to_stderr
    try:
        yield
    finally:
        logger.setLevel(level)
        logger.handlers[:] = handlers
        util._log_to_stderr = to_stderr  # processes started later would log to stderr too
