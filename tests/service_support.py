"""Helpers for the gesture service tests: a harness around a running service, the expected
results of the engine run in this process, and faulty stand-ins for the worker's inputs.

Everything that crosses into a worker lives at module level, so that a spawned child finds it
by name (the tests directory is on `sys.path`).
"""

import logging
import multiprocessing
import multiprocessing.util
import time
import types
from contextlib import contextmanager

from fakes import FakeClassifier, FakeEncoder, write_model_files
from streams import gesture_stream

from velmorakit.middleware.utilities import VelmoraComputing
from velmorakit.middleware.velmora_gesture import VelmoraGesture
from velmorakit.models.gesture import Gesture, GestureConfig

LABELS = ["right", "left", "up"]
IDLE_ROW = [0.0] * 6
MALFORMED = (ValueError, TypeError, AttributeError, OverflowError)
POLL_INTERVAL_SEC = 0.0005
# How long a worker may take to start or to end before a test calls it hung. A spawned worker
# imports NumPy, SciPy and scikit-learn first: about 5 s on a small ARM board or under
# emulation, more on a loaded machine. Only a failing test waits this long.
WORKER_TIMEOUT_SEC = 60.0


def fake_model_files(tmp_path, probabilities=(0.7, 0.2, 0.1)):
    """A classifier that gives every segment the same probabilities; the first label wins."""
    return write_model_files(tmp_path, FakeClassifier(probabilities, LABELS), FakeEncoder(LABELS))


def fake_model_stream(tmp_path, n_gestures, seed):
    """The fake model's files, a default configuration on them, and the rows of a simulated
    stream of `n_gestures` strokes."""
    files = fake_model_files(tmp_path)
    return files, GestureConfig(*files), rows_of(gesture_stream(n_gestures, seed)[0])


class FailingClassifier(FakeClassifier):
    def predict_proba(self, X):
        raise RuntimeError("classifier failed")


class ExplodingSample:
    """A sample whose reading fails with an error that no malformed row raises."""

    def append(self, value):
        pass

    def __iter__(self):
        raise RuntimeError("sample exploded")


class CountingPipe:
    """Receiving end that counts the receives the worker has begun, in shared memory.

    A worker that begins receive n + 1 has pushed samples 1..n and finished the cycle of every
    batch among them, including the insert of its result into the queue.
    """

    def __init__(self, conn):
        self.conn = conn
        self.receives = multiprocessing.Value("q", 0)

    def recv(self):
        with self.receives.get_lock():
            self.receives.value += 1
        return self.conn.recv()


class AlternatingClock:
    """Stands in for time.perf_counter: 0.0 at the start of every batch, `gap` at its end."""

    def __init__(self, gap):
        self.gap = gap
        self.calls = 0

    def __call__(self):
        self.calls += 1
        return self.gap if self.calls % 2 == 0 else 0.0


def rows_of(samples):
    """Fresh lists, one per sample: the engine appends its time stamp to the row it is given."""
    return [[float(v) for v in row] for row in samples]


def batches(rows, num_sample):
    return [rows[i : i + num_sample] for i in range(0, len(rows) - num_sample + 1, num_sample)]


def expected_results(model_files, rows, config, stalled=()):
    """{batch index: Gesture} for what the worker queues: the engine run in this process over
    the same batches, with a reset instead of a cycle for the batches in `stalled`."""
    engine = VelmoraComputing(*model_files)
    results = {}
    for index, batch in enumerate(batches(rows, config.num_sample)):
        for row in batch:
            try:
                engine.push_data(list(row) if isinstance(row, list) else row)
            except MALFORMED:
                pass
        if index in stalled:
            engine.data_init()
            continue
        gest, prob, conf, disp = engine.run()
        if gest is not None and conf >= config.confidence_th and prob >= config.gesture_prob_th:
            results[index] = Gesture(gest, prob, conf, disp)
    return results


class ServiceHarness:
    """A VelmoraGesture on a fresh pipe, driven batch by batch from the test."""

    def __init__(self, config, level):
        receiving, self.sender = multiprocessing.Pipe(duplex=False)
        self.pipe = CountingPipe(receiving)
        self.service = VelmoraGesture(config, self.pipe, types.SimpleNamespace(level=level))
        self.num_sample = config.num_sample
        self.sent = 0
        self.pause = None

    def pause_before(self, sample_index, seconds):
        """Make the sender wait `seconds` before it sends sample `sample_index` (from 0)."""
        self.pause = (sample_index, seconds)

    @property
    def process(self):
        return self.service.process

    def send(self, rows):
        for row in rows:
            if self.pause and self.pause[0] == self.sent:
                time.sleep(self.pause[1])
            self.sender.send(row)
            self.sent += 1

    def sync(self):
        """Wait until the worker has handled every sample sent so far."""
        self.wait_for_receives(self.sent + 1)

    def wait_for_receives(self, count, timeout=WORKER_TIMEOUT_SEC):
        """Wait until the worker has begun its `count`-th receive."""
        deadline = time.monotonic() + timeout
        while self.pipe.receives.value < count:
            assert self.process.is_alive(), f"worker ended, exit code {self.process.exitcode}"
            assert time.monotonic() < deadline, "worker did not catch up"
            time.sleep(POLL_INTERVAL_SEC)

    def poll(self, timeout):
        """The first result that gesture() returns within `timeout` seconds, or None."""
        deadline = time.monotonic() + timeout
        while (result := self.service.gesture()) is None and time.monotonic() < deadline:
            time.sleep(POLL_INTERVAL_SEC)
        return result

    def observe(self, rows, expected, timeout=5.0):
        """Feed `rows` batch by batch and collect {batch index: result}; waits for a result
        after the batches in `expected`, takes one only if already there after the others."""
        observed = {}
        for index, batch in enumerate(batches(rows, self.num_sample)):
            self.send(batch)
            self.sync()
            result = self.poll(timeout if index in expected else 0.0)
            if result is not None:
                observed[index] = result
        return observed

    def stop_while_flowing(self):
        """terminate() with a batch of samples on its way; returns the worker's exit code."""
        self.process.stop_event.set()
        self.send([list(IDLE_ROW) for _ in range(self.num_sample)])
        self.service.terminate()
        return self.process.exitcode

    def wait_for_exit(self, timeout=WORKER_TIMEOUT_SEC):
        self.process.join(timeout)
        return self.process.exitcode

    def close(self):
        if self.process.is_alive():
            self.process.terminate()
            self.process.join(5)
        self.sender.close()
        self.pipe.conn.close()


@contextmanager
def default_start_method(method):
    previous = multiprocessing.get_start_method(allow_none=True)
    multiprocessing.set_start_method(method, force=True)
    try:
        yield
    finally:
        multiprocessing.set_start_method(previous, force=True)


@contextmanager
def restored_multiprocessing_logger():
    """Every worker adds a stderr handler to the process-wide multiprocessing logger and sets its
    level; the test starts without the handlers earlier code left (their streams may be closed
    captures) and gets them back afterwards, so nothing leaks from one test to the next.
    """
    logger = multiprocessing.get_logger()
    handlers, level = list(logger.handlers), logger.level
    to_stderr = multiprocessing.util._log_to_stderr
    logger.handlers[:] = []
    try:
        yield
    finally:
        logger.handlers[:] = handlers
        logger.setLevel(level)
        multiprocessing.util._log_to_stderr = to_stderr


@contextmanager
def service_harness(config, method="fork", level=logging.WARNING):
    """A ServiceHarness, not started yet; its worker is killed if a test leaves it running.

    The service takes the start method in effect when it is built: `method` is made the default
    for the harness's lifetime.
    """
    with default_start_method(method), restored_multiprocessing_logger():
        harness = ServiceHarness(config, level)
        try:
            yield harness
        finally:
            harness.close()
