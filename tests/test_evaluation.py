"""Scoring: the worker's batching and thresholds, the result queue, matching results to the
truth, and the reason given for every missed gesture."""

from dataclasses import replace

import numpy as np
import pytest
from fakes import FakeClassifier, FakeEncoder, write_model_files
from matplotlib import colormaps, image

from velmorakit.conditioning import DT
from velmorakit.middleware.utilities.velmora_computing import VelmoraComputing
from velmorakit.models.gesture import GestureConfig
from velmorakit.workbench.assessment import attribution, scoring
from velmorakit.workbench.assessment.attribution import attribute
from velmorakit.workbench.assessment.evaluation import SEGMENT, Cycle, EnginePass, run_engine
from velmorakit.workbench.assessment.plotting import plot_sweep
from velmorakit.workbench.assessment.reports import evaluation_summary
from velmorakit.workbench.assessment.scoring import NONE, Thresholds, score
from velmorakit.workbench.learning.segments import shape_recording
from velmorakit.workbench.simulation.synthetic import GestureEvent, minimum_jerk
from velmorakit.workbench.stalls import clearing_gaps


class ScriptedEngine(VelmoraComputing):
    """Returns a scripted result at given push counts, with the segment at given window rows;
    the window and segmentation constants are the engine's."""

    def __init__(self, script):
        self.script = script  # pushes -> (result tuple, [left, right])
        self.pushes = 0
        self.runs = []
        self.veltot_filt_a = self.time_a = np.zeros(self.DATA_DIM)
        self.last_max_time = 0.0

    def push_data(self, row):
        assert type(row) is list and len(row) == 6
        self.pushes += 1

    def run(self):
        self.runs.append(self.pushes)
        result, self.min_index_a = self.script.get(self.pushes, ((None, 0, 0, 0), None))
        return result


def config(num_sample=10):
    return GestureConfig("m.pkl", "e.pkl", num_sample)


def test_engine_runs_once_per_full_batch_and_thresholds_are_inclusive():
    engine = ScriptedEngine(
        {
            120: (("up", 0.6, 2, 0.1), [60, 80]),  # exactly at both thresholds: kept
            240: (("left", 0.9, 1, 0.1), [60, 80]),  # confidence too low
            360: (("down", 0.59, 9, 0.1), [60, 80]),  # probability too low
            480: (("right", 0.99, 50, -0.2), [70, 90]),
        }
    )
    reports = []
    engine_pass = run_engine(engine, np.zeros((4995, 6)), config(10), reports.append)
    assert engine.runs == list(range(10, 4991, 10))
    # Progress moves within the recording and adds up to its rows.
    assert len(reports) > 1 and sum(reports) == 4995
    segments = engine_pass.segments
    assert [(s.label, s.index, s.start, s.end) for s in segments] == [
        ("up", 120, 80, 100),
        ("left", 240, 200, 220),
        ("down", 360, 320, 340),
        ("right", 480, 450, 470),
    ]
    accepted, received = scoring.reached(segments, Thresholds(2, 0.6, poll_s=0))
    assert accepted == [0, 3] and received == {0, 3}


def test_no_samples_read_with_num_sample_0_misses_every_gesture_for_that_reason():
    engine = ScriptedEngine({})
    engine_pass = run_engine(engine, np.zeros((500, 6)), config(0))
    assert engine.runs == [] and engine_pass.cycles == []
    part = attribute("a", engine_pass, [GestureEvent(100, 130, "up", 0.3)], ["up"])
    result = score([part], ["up"], Thresholds(2, 0.6))
    assert result.missed == 1 and result.reasons == {attribution.NOT_READ: 1}


def segment(start, end, label, index=None, disp=0.0, probability=0.9, confidence=5):
    index = end + 10 if index is None else index
    return Cycle(
        index,
        (start + end) // 2,
        1.0,
        SEGMENT,
        2.0,
        label,
        probability,
        confidence,
        disp,
        start,
        end,
    )


def part(segments, events, classes, rows=1000, name="r"):
    return attribute(name, EnginePass(segments, rows, 10), events, classes)


def test_results_are_matched_to_the_gesture_they_overlap_most():
    events = [
        GestureEvent(100, 130, "up", 0.3),
        GestureEvent(300, 320, "left", 0.2),
        GestureEvent(500, 520, "right", 0.4),
        GestureEvent(700, 720, "down", 0.25),
    ]
    segments = [
        segment(105, 135, "up", disp=0.2),  # recognised, 0.1 m short
        segment(125, 140, "up"),  # the same gesture again: spurious
        segment(305, 325, "right"),  # misclassified
        segment(600, 640, "left"),  # overlaps nothing: spurious
        segment(702, 725, "down", disp=-0.3),  # recognised, 0.05 m long
    ]
    result = score(
        [part(segments, events, ["down", "left", "right", "up"])],
        ["down", "left", "right", "up"],
        Thresholds(2, 0.6, poll_s=0),
    )
    assert (result.recognised, result.misclassified, result.missed, result.spurious) == (2, 1, 1, 2)
    assert result.recognition_rate == 0.5
    assert result.spurious_rate == 2 / 5
    assert result.spurious_reasons == {scoring.NO_GESTURE: 1, scoring.REPEAT: 1}
    np.testing.assert_allclose(result.displacement_errors, [-0.1, 0.05])
    assert result.delays_s == pytest.approx([(145 - 130) / 50, (735 - 720) / 50])
    labels = result.classes
    assert labels == ["down", "left", "right", "up", NONE]
    cell = {(labels[i], labels[j]): n for (i, j), n in np.ndenumerate(result.confusion) if n}
    assert cell == {
        ("up", "up"): 1,
        ("down", "down"): 1,
        ("left", "right"): 1,
        ("right", NONE): 1,
        (NONE, "up"): 1,
        (NONE, "left"): 1,
    }


def test_recordings_with_other_labels_or_no_gestures_add_up():
    a = part([segment(0, 20, "up")], [GestureEvent(0, 20, "up", 0.3)], ["up", "down"])
    b = part([], [GestureEvent(0, 20, "push", float("nan"))], ["push"])
    rest = part([segment(40, 60, "down")], [], ["up", "down"])  # pure rest, one false result
    total = score([a, b, rest], ["down", "push", "up"], Thresholds(2, 0.6))
    assert total.classes == ["down", "push", "up", NONE]
    assert (total.gestures, total.recognised, total.missed, total.spurious) == (2, 1, 1, 1)
    assert total.confusion.sum() == 3
    assert total.confusion[1, 3] == 1 and total.confusion[2, 2] == 1 and total.confusion[3, 0] == 1
    only_rest = score([rest], ["down", "up"], Thresholds(2, 0.6))
    assert only_rest.recognition_rate is None and only_rest.spurious == 1


def test_results_during_a_gesture_the_model_does_not_know_are_spurious():
    events = [GestureEvent(100, 130, "up", 0.3), GestureEvent(300, 330, "circle", float("nan"))]
    segments = [segment(100, 130, "up"), segment(300, 320, "up"), segment(310, 335, "down")]
    result = score([part(segments, events, ["down", "up"])], ["down", "up"], Thresholds(2, 0.6))
    assert (result.gestures, result.not_scored, result.recognised) == (1, 1, 1)
    assert (result.results, result.spurious) == (3, 2)
    assert result.spurious_reasons == {scoring.UNKNOWN_GESTURE: 2}
    assert "2  during a gesture whose label the model does not know" in evaluation_summary(result)


def test_queue_and_thresholds_explain_the_results_that_never_reached_the_application():
    events = [GestureEvent(100 * k, 100 * k + 20, "up", 0.3) for k in range(1, 4)]
    # Results at rows 130, 230, 330: 2 s apart.
    segments = [segment(e.start, e.end, "up") for e in events]
    attributed = part(segments, events, ["up"])
    reasons = {
        Thresholds(2, 0.6, poll_s=0.5): {},
        Thresholds(2, 0.6, poll_s=10): {scoring.REPLACED: 2},  # only the newest survives
        Thresholds(6, 0.6): {scoring.BELOW_CONFIDENCE: 3},
        Thresholds(6, 0.95): {scoring.BELOW_CONFIDENCE: 3},  # confidence is tested first
        Thresholds(2, 0.95): {scoring.BELOW_PROBABILITY: 3},
    }
    for th, expected in reasons.items():
        assert score([attributed], ["up"], th).reasons == expected, th


def test_delivery_follows_the_polls():
    # Polls every second: a result lives until the next poll at or after it.
    assert scoring.delivered([0.2, 0.9, 1.0, 1.5, 3.0], 1.0) == [False, False, True, True, True]
    assert scoring.delivered([0.2, 0.4], 0) == [True, True]


def _strokes(rows, strokes, seed=0):
    """An upward recording: (first row, rows, distance) strokes and sensor noise."""
    acc = np.zeros((rows, 3))
    for start, n, distance in strokes:
        acc[start : start + n, 2] = minimum_jerk(distance, n)
    vel = np.zeros_like(acc)
    vel[1:] = np.cumsum((acc[1:] + acc[:-1]) * DT / 2, axis=0)
    noise = np.random.default_rng(seed).normal(0, 0.01, (rows, 6))
    samples = np.hstack([acc, vel]) + noise
    return samples, [GestureEvent(s, s + n, "up", d) for s, n, d in strokes]


def test_each_missed_gesture_gets_the_segmentation_stage_that_stopped_it(tmp_path):
    model, encoder = write_model_files(
        tmp_path,
        FakeClassifier([0.1, 0.8, 0.1], ["down", "up", "x"]),
        FakeEncoder(["down", "up", "x"]),
    )
    samples, events = _strokes(
        1600,
        [
            (100, 12, 0.2),  # two halves of one stroke: one segment, for the larger overlap
            (112, 12, 0.2),
            (300, 40, 0.03),  # too small to rise above MAX_TH
            (500, 25, 0.4),
            (540, 25, 0.4),  # 0.8 s after the last one: too soon
            (800, 25, 0.4),
            (1000, 400, 6.0),  # eight seconds long
            (1580, 20, 0.4),  # the recording ends before its peak can be judged
        ],
    )
    engine_pass = run_engine(
        VelmoraComputing(model, encoder), samples, GestureConfig(model, encoder, 10)
    )
    attributed = attribute("r", engine_pass, events, ["down", "up", "x"])
    result = score([attributed], ["down", "up", "x"], Thresholds(2, 0.6))
    got = [(o.outcome, o.reason) for _, o in result.outcomes]
    assert got == [
        (scoring.MISSED, attribution.SHARED),
        (scoring.RECOGNISED, ""),
        (scoring.MISSED, attribution.LOW),
        (scoring.RECOGNISED, ""),
        (scoring.MISSED, attribution.CLOSE),
        (scoring.RECOGNISED, ""),
        (scoring.MISSED, attribution.TOO_LONG),
        (scoring.MISSED, attribution.AT_END),
    ]


def test_segments_called_no_gesture_never_reach_the_application(tmp_path):
    # The engine decodes the "no gesture" class to None (displacement 0, no IndexError), the
    # engine pass keeps such segments, and scoring neither delivers nor counts them spurious.
    import pickle

    from sklearn.linear_model import LogisticRegression

    from velmorakit.models import NO_GESTURE
    from velmorakit.workbench.learning.training import build_encoder

    classes = [NO_GESTURE, "up"]
    model = LogisticRegression().fit(np.eye(2, 300), classes)
    for name, obj in (("m.pkl", model), ("e.pkl", build_encoder(classes))):
        (tmp_path / name).write_bytes(pickle.dumps(obj))
    engine = VelmoraComputing(str(tmp_path / "m.pkl"), str(tmp_path / "e.pkl"))
    engine.gest_ut, engine.min_index_a = np.eye(1, 300).ravel(), [10, 30]
    engine.run_nn()
    engine.get_gesture()
    engine.get_displacement()
    assert engine.rec_gesture is None and engine.disp == 0

    rejected = replace(segment(305, 325, None), rejected=True)
    events = [GestureEvent(100, 130, "up", 0.3), GestureEvent(300, 320, "up", 0.2)]
    segments = [rejected, replace(segment(600, 640, None), rejected=True)]
    result = score([part(segments, events, ["up"])], ["up"], Thresholds(1, 0.0, poll_s=0))
    assert (result.missed, result.spurious, result.results) == (2, 0, 0)
    assert result.reasons[scoring.REJECTED] == 1
    assert (result.rejected_on_gestures, result.rejected_elsewhere) == (1, 1)


def test_every_line_of_the_threshold_sweep_stays_visible_where_all_coincide(tmp_path):
    confidences, probabilities = [1, 2, 3, 4, 6, 10], [0.4, 0.5, 0.6, 0.7, 0.8, 0.9]
    everything = np.ones((6, 6))
    sweep = scoring.Sweep(confidences, probabilities, everything, 0 * everything)
    plot_sweep(tmp_path / "sweep.png", sweep, (2, 0.6), "all at 100 %")

    pixels = image.imread(tmp_path / "sweep.png")[:, :, :3]
    recall_panel = pixels[:, : pixels.shape[1] * 2 // 5].reshape(-1, 3)  # left of the legend
    colours = colormaps["viridis"](np.linspace(0, 0.9, 6))[:, :3]
    nearest = np.linalg.norm(recall_panel[:, None] - colours[None], axis=2).min(axis=0)
    assert (nearest < 0.05).all(), nearest


def test_a_gap_that_stalls_the_worker_clears_the_window_in_evaluate_and_shape(tmp_path):
    model, encoder = write_model_files(
        tmp_path, FakeClassifier([0.1, 0.9], ["down", "up"]), FakeEncoder(["down", "up"])
    )
    samples, events = _strokes(1300, [(200, 25, 0.4), (600, 25, 0.4), (1000, 25, 0.4)])
    # A 1.5 s dropout inside the first stroke stalls a batch of 10; 0.5 s inside the second
    # does not (0.18 s + 0.5 s < 1.02 s); one of unknown length comes well before the third.
    gaps = {212: 1.5, 612: 0.5, 900: float("inf")}
    outcomes = {}
    for kept in (gaps, None):
        engine_pass = run_engine(
            VelmoraComputing(model, encoder), samples, GestureConfig(model, encoder, 10), None, kept
        )
        attributed = attribute("r", engine_pass, events, ["down", "up"])
        result = score([attributed], ["down", "up"], Thresholds(2, 0.6))
        outcomes[kept is None] = [(o.outcome, o.reason) for _, o in result.outcomes]
        assert [stall.index for stall in engine_pass.stalls] == ([220, 910] if kept else [])
    recognised = (scoring.RECOGNISED, "")
    assert outcomes[False] == [(scoring.MISSED, attribution.STALLED), recognised, recognised]
    assert outcomes[True] == [recognised] * 3

    assert clearing_gaps(gaps, 10) == [212, 900]
    for breaks, spanned in (([212, 900], False), ((), True)):
        shaped, _ = shape_recording(samples, events, "r", 10, all_phases=True, breaks=breaks)
        assert any(start < 212 <= end for start, end in shaped.bounds) is spanned
