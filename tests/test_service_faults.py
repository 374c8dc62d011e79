"""The gesture service under what real sensors and applications do to it: producers that die,
pipes that close, bad rows, stalls and bursts, restarts, a killed worker and broken model files.

Nothing may hang and every failure must be visible to the application.
"""

import gc
import math
import multiprocessing
import os
import signal
import threading

import pytest
from service_support import (
    IDLE_ROW,
    WORKER_TIMEOUT_SEC,
    expected_results,
    fake_model_files,
    rows_of,
    service_harness,
)
from streams import gesture_stream

from velmorakit.models.gesture import GestureConfig


def produce(sender, rows, stop_after, how):
    """Producer process: sends `stop_after` rows, then dies or closes its end."""
    for row in rows[:stop_after]:
        sender.send(row)
    if how == "killed":
        os.kill(os.getpid(), signal.SIGKILL)
    sender.close()


@pytest.fixture
def files(tmp_path):
    return fake_model_files(tmp_path)


@pytest.mark.parametrize("how", ["killed", "closed"])
def test_producer_that_dies_or_closes_mid_batch_ends_the_worker_normally(files, how):
    config = GestureConfig(*files)
    rows = rows_of(gesture_stream(3, seed=4)[0])
    stop_after = len(rows) - config.num_sample // 2  # the last batch stays incomplete
    expected = expected_results(files, rows[:stop_after], config)
    with service_harness(config) as h:
        producer = multiprocessing.get_context("spawn").Process(
            target=produce, args=(h.sender, rows, stop_after, how)
        )
        producer.start()
        h.sender.close()  # the producer now holds the only sending end
        h.service.start()
        producer.join(WORKER_TIMEOUT_SEC)
        assert h.wait_for_exit() == 0
        assert h.service.gesture() == expected[max(expected)]
        h.service.terminate()  # on an ended worker: returns at once
    assert producer.exitcode == (-signal.SIGKILL if how == "killed" else 0)


def test_malformed_and_non_finite_rows_in_a_good_stream(files):
    config = GestureConfig(*files)
    rows = rows_of(gesture_stream(4, seed=8)[0])
    bad = [
        [1.0] * 5,
        [1.0] * 7,
        ["x"] * 6,
        None,
        (1, 2, 3, 4, 5, 6),
        "abcdef",
        [None] * 6,
        [math.nan] * 6,
        [math.inf, 0, 0, 0, 0, 0],
        [0, 0, 0, -math.inf, 0, 0],
        [1e308] * 6,
        [10**400, 0, 0, 0, 0, 0],  # an integer too large for a float
    ]
    for i, row in enumerate(bad):
        rows.insert(37 + 31 * i, row)  # all within the batches sent
    expected = expected_results(files, rows, config)
    assert len(expected) >= 2
    with service_harness(config) as h:
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.process.is_alive()
        assert h.stop_while_flowing() == 0


def test_stall_in_the_middle_of_a_gesture_drops_only_that_gesture(files):
    config = GestureConfig(*files)
    samples, strokes = gesture_stream(3, seed=9)
    rows = rows_of(samples)
    middle = (strokes[1].start + strokes[1].end) // 2
    stalled = middle // config.num_sample
    expected = expected_results(files, rows, config, stalled={stalled})
    unstalled = expected_results(files, rows, config)
    assert expected != unstalled  # the stall costs the second stroke
    with service_harness(config) as h:
        h.pause_before(middle, 1.3)
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.stop_while_flowing() == 0


def test_burst_far_faster_than_real_time(files):
    config = GestureConfig(*files)
    rows = rows_of(gesture_stream(12, seed=10)[0])
    expected = expected_results(files, rows, config)
    with service_harness(config) as h:
        h.service.start()
        h.send(rows)  # ~40 s of samples, as fast as the pipe takes them
        h.sync()
        assert h.poll(5) == expected[max(expected)]
        assert h.stop_while_flowing() == 0


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def child_pids():
    pids = set()
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/children") as file:
            pids.update(file.read().split())
    return pids


def test_fifty_start_terminate_cycles_leak_nothing(files):
    config = GestureConfig(*files)
    rows = rows_of(gesture_stream(1, seed=12)[0])[: 3 * config.num_sample]

    def cycle():
        with service_harness(config) as h:
            h.service.start()
            h.send(rows)
            h.sync()
            assert h.stop_while_flowing() == 0
        del h
        gc.collect()

    cycle()  # the first cycle opens what the process keeps (the resource tracker)
    fds, threads, children = open_descriptors(), threading.active_count(), child_pids()
    for _ in range(50):
        cycle()
    assert open_descriptors() == fds
    assert threading.active_count() == threads
    assert child_pids() == children
    assert multiprocessing.active_children() == []


def test_worker_killed_is_visible_and_terminate_still_returns(files):
    config = GestureConfig(*files)
    with service_harness(config) as h:
        h.service.start()
        h.sync()
        os.kill(h.process.pid, signal.SIGKILL)
        assert h.wait_for_exit() == -signal.SIGKILL
        assert not h.process.is_alive()
        assert h.service.gesture() is None
        h.service.terminate()


def write_broken(path, kind):
    if kind == "empty":
        path.write_bytes(b"")
    elif kind == "corrupt":
        path.write_bytes(b"\x80\x05not a pickle at all")
    elif kind == "truncated":
        path.write_bytes(path.read_bytes()[:20])
    else:
        path.unlink()


@pytest.mark.parametrize("which", [0, 1], ids=["model", "encoder"])
@pytest.mark.parametrize("kind", ["missing", "empty", "corrupt", "truncated"])
def test_broken_model_files_end_the_worker_with_a_failure(tmp_path, which, kind):
    files = fake_model_files(tmp_path)
    write_broken(tmp_path / os.path.basename(files[which]), kind)
    config = GestureConfig(*files)
    with service_harness(config) as h:
        h.service.start()
        h.send([list(IDLE_ROW)] * config.num_sample)
        assert h.wait_for_exit() not in (0, None)
        assert h.service.gesture() is None
        h.service.terminate()
