"""The sample producer of the demo: streams rows into the sensor pipe at a steady rate.

It runs in a process of its own and imports nothing heavy, so that it starts quickly.
"""

import time

IDLE_ROW = (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)


def stream_rows(conn, rows, rate_hz, go, stop, sent, started):
    """Send `rows` at `rate_hz` once `go` is set, then idle rows until `stop` is set.

    `sent` counts the session rows sent so far and `started` holds the `time.monotonic()`
    at which row 0 was due, so the receiving side knows when each row went out. The idle
    rows keep the worker's batches flowing, which lets it notice a stop request at once.
    """
    go.wait()
    start = time.monotonic()
    started.value = start
    with conn:
        try:
            _send_all(conn, rows, rate_hz, start, sent, stop)
        except BrokenPipeError:
            pass  # the receiving side has gone: nothing left to stream to


def _send_all(conn, rows, rate_hz, start, sent, stop):
    for i, row in enumerate(rows):
        _wait_until(start + i / rate_hz)
        conn.send(list(row))  # a fresh list: the engine appends its time stamp to it
        sent.value = i + 1
    i = len(rows)
    while not stop.is_set():
        _wait_until(start + i / rate_hz)
        conn.send(list(IDLE_ROW))
        i += 1


def _wait_until(deadline: float) -> None:
    delay = deadline - time.monotonic()
    if delay > 0:
        time.sleep(delay)
