"""Scoring: the worker's batching and thresholds, and matching results to the truth."""

import numpy as np
import pytest

from velmorakit.models.gesture import GestureConfig
from velmorakit.workbench.evaluation import NONE, Detection, merge, run_engine, score
from velmorakit.workbench.synthetic import GestureEvent


class ScriptedEngine:
    """Returns a scripted result at given push counts, with the segment at given window rows."""

    DATA_DIM = 100

    def __init__(self, script):
        self.script = script  # pushes -> (result tuple, [left, right])
        self.pushes = 0
        self.runs = []

    def push_data(self, row):
        assert type(row) is list and len(row) == 6
        self.pushes += 1

    def run(self):
        self.runs.append(self.pushes)
        result, self.min_index_a = self.script.get(self.pushes, ((None, 0, 0, 0), None))
        return result


def config(num_sample=10, confidence_th=2, gesture_prob_th=0.6):
    return GestureConfig("m.pkl", "e.pkl", num_sample, confidence_th, gesture_prob_th)


def test_engine_runs_once_per_full_batch_and_thresholds_are_inclusive():
    engine = ScriptedEngine(
        {
            120: (("up", 0.6, 2, 0.1), [60, 80]),  # exactly at both thresholds: kept
            240: (("left", 0.9, 1, 0.1), [60, 80]),  # confidence too low
            360: (("down", 0.59, 9, 0.1), [60, 80]),  # probability too low
            480: (("right", 0.99, 50, -0.2), [70, 90]),
        }
    )
    detections = run_engine(engine, np.zeros((495, 6)), config(num_sample=10))
    assert engine.runs == list(range(10, 491, 10))
    assert [(d.label, d.index, d.start, d.end) for d in detections] == [
        ("up", 120, 80, 100),
        ("right", 480, 450, 470),
    ]


def det(start, end, label, disp=0.0, index=None):
    return Detection(index or end + 10, start, end, label, 0.9, 5, disp)


def test_results_are_matched_to_the_gesture_they_overlap_most():
    events = [
        GestureEvent(100, 130, "up", 0.3),
        GestureEvent(300, 320, "left", 0.2),
        GestureEvent(500, 520, "right", 0.4),
        GestureEvent(700, 720, "down", 0.25),
    ]
    detections = [
        det(105, 135, "up", disp=0.2),  # recognised, 0.1 m short
        det(125, 140, "up"),  # the same gesture again: spurious
        det(305, 325, "right"),  # misclassified
        det(600, 640, "left"),  # overlaps nothing: spurious
        det(702, 725, "down", disp=-0.3),  # recognised, 0.05 m long
    ]
    result = score(detections, events, ["down", "left", "right", "up"])
    assert (result.recognised, result.misclassified, result.missed, result.spurious) == (2, 1, 1, 2)
    assert result.recognition_rate == 0.5
    assert result.spurious_rate == 2 / 5
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


def test_merge_adds_up_recordings_with_different_labels():
    a = score([det(0, 20, "up")], [GestureEvent(0, 20, "up", 0.3)], ["up", "down"])
    b = score([], [GestureEvent(0, 20, "push", float("nan"))], ["push"])
    total = merge([a, b])
    assert total.classes == ["down", "push", "up", NONE]
    assert (total.gestures, total.recognised, total.missed) == (2, 1, 1)
    assert total.confusion.sum() == 2
    assert total.confusion[1, 3] == 1 and total.confusion[2, 2] == 1
