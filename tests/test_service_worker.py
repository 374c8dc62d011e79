"""The worker process on real pipes: what it recognises, when it resets, what it accepts, and
which faults it survives."""

import logging
import math
import time

import pytest
from fakes import FakeEncoder, write_model_files
from service_support import (
    IDLE_ROW,
    LABELS,
    AlternatingClock,
    ExplodingSample,
    FailingClassifier,
    batches,
    expected_results,
    fake_model_files,
    fake_model_stream,
    rows_of,
    service_harness,
)
from streams import gesture_stream

from velmorakit.models.gesture import GestureConfig


def test_results_match_the_engine_run_over_the_same_batches(start_method, sklearn_model_files):
    config = GestureConfig(*sklearn_model_files)
    rows = rows_of(gesture_stream(5, seed=7)[0])
    expected = expected_results(sklearn_model_files, rows, config)
    assert len(expected) >= 2
    with service_harness(config, start_method) as h:
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.poll(0.1) is None
        assert h.stop_while_flowing() == 0


def test_two_results_before_a_poll_leave_only_the_later_one(tmp_path):
    files, config, rows = fake_model_stream(tmp_path, 2, seed=3)
    expected = expected_results(files, rows, config)
    first, second = sorted(expected)[:2]
    assert expected[first] != expected[second]
    with service_harness(config) as h:
        h.service.start()
        h.send(rows[: (second + 1) * config.num_sample])
        h.sync()
        assert h.poll(5) == expected[second]
        assert h.poll(0.2) is None
        assert h.stop_while_flowing() == 0


def test_a_pause_longer_than_the_stall_threshold_resets_the_engine(tmp_path):
    files, config, rows = fake_model_stream(tmp_path, 2, seed=3)
    stalled = min(expected_results(files, rows, config))
    expected = expected_results(files, rows, config, stalled={stalled})
    assert stalled not in expected and expected  # later strokes are still recognised
    with service_harness(config) as h:
        h.pause_before((stalled + 1) * config.num_sample - 1, 1.1)
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.stop_while_flowing() == 0


@pytest.mark.parametrize("gap, classified", [(1.02, True), (math.nextafter(1.02, 2), False)])
def test_stall_threshold_is_strict(tmp_path, monkeypatch, gap, classified):
    # Every batch appears to take `gap` seconds; only a longer batch counts as a stall.
    files, config, rows = fake_model_stream(tmp_path, 1, seed=5)
    every_batch = range(len(batches(rows, config.num_sample)))
    expected = expected_results(files, rows, config, stalled=() if classified else every_batch)
    assert bool(expected) == classified
    clock = AlternatingClock(gap)
    monkeypatch.setattr(time, "perf_counter", clock)
    with service_harness(config) as h:
        clock.calls = 0  # the worker's constructor read it here; the forked child starts afresh
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.poll(0.1) is None
        assert h.stop_while_flowing() == 0


# The classifier's row (0.6, 0.3, 0.1) gives probability 0.6 and confidence int(0.6 / 0.3) = 2.
@pytest.mark.parametrize(
    "confidence_th, gesture_prob_th, accepted",
    [(2, 0.6, True), (2, math.nextafter(0.6, 1), False), (math.nextafter(2, 3), 0.6, False)],
)
def test_thresholds_accept_results_at_their_exact_values(
    tmp_path, confidence_th, gesture_prob_th, accepted
):
    files = fake_model_files(tmp_path, probabilities=(0.6, 0.3, 0.1))
    config = GestureConfig(*files, confidence_th=confidence_th, gesture_prob_th=gesture_prob_th)
    with service_harness(config) as h:
        h.service.start()
        h.send(rows_of(gesture_stream(1, seed=5)[0]))
        h.sync()
        result = h.poll(5 if accepted else 0.2)
        if accepted:
            assert (result.name, result.probability, result.confidence) == ("right", 0.6, 2)
        else:
            assert result is None
        assert h.stop_while_flowing() == 0


def test_zero_samples_per_batch_reads_nothing_and_cycles_until_stopped(tmp_path):
    config = GestureConfig(*fake_model_files(tmp_path), num_sample=0)
    with service_harness(config) as h:
        h.send([list(IDLE_ROW)])
        h.service.start()
        time.sleep(0.2)
        h.service.terminate()
        assert h.process.exitcode == 0
        assert h.pipe.receives.value == 0 and h.pipe.conn.poll()  # the sample is still there
        assert h.service.gesture() is None


def test_malformed_samples_are_dropped_counted_and_logged(tmp_path, capfd):
    files, config, rows = fake_model_stream(tmp_path, 2, seed=3)
    malformed = [[1.0, 2.0], "not a sample", [0, 0, 0, 0, 0, "x"]]
    for offset, sample in zip((5, 17, 29), malformed, strict=True):
        rows.insert(offset, sample)
    rows[-20] = [math.inf] * 6
    expected = expected_results(files, rows, config)
    assert expected
    with service_harness(config, level=logging.INFO) as h:
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.stop_while_flowing() == 0
    err = capfd.readouterr().err
    dropped = [line for line in err.splitlines() if "[VGesture] Dropped " in line]
    # The first is told at once; the others, within 10 s of it, in one line as the worker ends.
    assert len(dropped) == 2 and all(line.startswith("[WARNING/") for line in dropped)
    assert "Dropped a malformed sample [1.0, 2.0]: " in dropped[0]
    assert dropped[1].endswith(" Dropped 2 more malformed samples since the last report.")
    assert "[VGesture] Gesture:" not in err  # debug lines stay below the application's level


def test_debug_log_shows_the_worker_life_and_each_accepted_result(tmp_path, capfd):
    files, config, rows = fake_model_stream(tmp_path, 1, seed=5)
    expected = expected_results(files, rows, config)
    with service_harness(config, level=logging.DEBUG) as h:
        h.service.start()
        assert h.observe(rows, expected) == expected
        assert h.stop_while_flowing() == 0
    err = capfd.readouterr().err
    assert "[DEBUG/MainProcess] [VGesture] Velmora gesture object created." in err
    assert "[VGesture] Velmora gesture object started." in err
    for gesture in expected.values():
        line = "[VGesture] Gesture: %s | Probability: %f | Confidence: %f | Displacement: %f"
        assert line % gesture in err


# A forked worker inherits the harness's sending end, so it would never see the end of the stream.
@pytest.mark.parametrize("start_method", ["forkserver", "spawn"])
def test_a_closed_producer_end_ends_a_worker_normally(tmp_path, capfd, start_method):
    files, config, rows = fake_model_stream(tmp_path, 1, seed=5)
    expected = expected_results(files, rows, config)
    with service_harness(config, start_method, level=logging.INFO) as h:
        h.service.start()
        h.send(rows + [list(IDLE_ROW)] * (config.num_sample // 2))
        h.sender.close()
        assert h.wait_for_exit() == 0
        assert h.service.gesture() == expected[max(expected)]
    if start_method == "spawn":  # a forkserver's children write to the server's standard error
        assert "[VGesture] The sensor pipe was closed by the producer" in capfd.readouterr().err


@pytest.mark.parametrize("fault", ["classifier error", "missing model file", "failing sample"])
def test_other_faults_end_the_worker_with_a_traceback(tmp_path, capfd, fault):
    rows = rows_of(gesture_stream(1, seed=5)[0])
    files = fake_model_files(tmp_path)
    if fault == "classifier error":
        files = write_model_files(
            tmp_path, FailingClassifier([1, 0, 0], LABELS), FakeEncoder(LABELS)
        )
        error = "RuntimeError: classifier failed"
    elif fault == "missing model file":
        files = (str(tmp_path / "missing.pkl"), str(tmp_path / "missing-encoder.pkl"))
        error = "FileNotFoundError"
    else:
        rows.insert(3, ExplodingSample())
        error = "RuntimeError: sample exploded"
    with service_harness(GestureConfig(*files)) as h:
        h.service.start()
        h.send(rows)
        assert h.wait_for_exit() == 1
        assert h.service.gesture() is None
    err = capfd.readouterr().err
    assert "Traceback" in err and error in err
