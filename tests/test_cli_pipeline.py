"""simulate -> shape -> train -> evaluate -> plot, as a user runs them, on small inputs."""

import json
import re

import numpy as np
import pytest

from velmorakit.workbench.cli import main
from velmorakit.workbench.commands import plot
from velmorakit.workbench.learning.segments import load_segments
from velmorakit.workbench.recordings.recording import read_truth
from velmorakit.workbench.simulation.synthetic import SimulationSettings, simulate_session


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    assert code == 0, err
    return out


def test_recordings_become_a_model_that_recognises_unseen_sessions(workdir, capsys):
    run(capsys, "simulate", "train.csv", "--seconds", "150", "--seed", "21")
    run(capsys, "simulate", "test.csv", "--seconds", "40", "--seed", "22")
    events = read_truth("train.truth.csv")

    out = run(capsys, "shape", "train.csv", "train.truth.csv", "-o", "seg.npz", "--step", "5")
    segments = load_segments("seg.npz")
    assert f"{len(segments)} segments of {len(events)} gestures" in out
    assert len(set(segments.groups())) == len(events) < len(segments) <= 5 * len(events)
    assert segments.features.shape == (len(segments), 300)
    assert set(segments.labels) == {e.label for e in events}

    # A roomy budget: the MLP is scored even where predicting is slow (the emulated board).
    out = run(
        capsys,
        "train",
        "seg.npz",
        "--classifiers",
        "mlp,logreg",
        "--folds",
        "3",
        "--budget-ms",
        "1000",
    )
    assert out.index("estimated time: about") < out.index("  mlp ")
    assert re.search(r"mlp +(9\d|100)\.\d% ± ", out) and "chosen (at most 3% spurious)" in out
    assert {p.name for p in (workdir / "model").iterdir()} == {
        "model.pkl",
        "encoder.pkl",
        "bundle.json",
    }

    # The bundle's recommended thresholds apply unless an option overrides them.
    bundle = json.loads((workdir / "model" / "bundle.json").read_text())
    out = run(
        capsys, "evaluate", "test.csv", "--model", "model", "--confusion-png", "confusion.png"
    )
    assert f"confidence >= {bundle['confidence_th']:g}, " in out
    assert f"probability >= {bundle['gesture_prob_th']:g}, " in out
    rate = float(re.search(r"recognised: +\d+ +\((\d+\.\d)% of gestures", out).group(1))
    assert rate >= 90
    assert re.search(r"spurious: +0 ", out)
    assert (workdir / "confusion.png").read_bytes()[:4] == b"\x89PNG"

    out = run(
        capsys,
        "plot",
        "test.csv",
        "-o",
        "test",
        "--model",
        "model/model.pkl",
        "--encoder",
        "model/encoder.pkl",
        "--start",
        "5",
        "--seconds",
        "10",
    )
    assert "wrote test.png" in out and (workdir / "test.png").read_bytes()[:4] == b"\x89PNG"


def test_shape_labels_each_segment_by_the_rows_it_covers(workdir, capsys):
    run(capsys, "simulate", "s.csv", "--seconds", "20", "--seed", "3")
    events = read_truth("s.truth.csv")
    run(capsys, "shape", "s.csv", "--step", "5")
    segments = load_segments("segments.npz")
    for label, (start, end) in zip(segments.labels, segments.bounds, strict=True):
        overlaps = [min(e.end, end + 1) - max(e.start, start) for e in events]
        assert label == events[int(np.argmax(overlaps))].label
    assert set(segments.sources) == {"s.csv"}


def test_a_first_short_recording_trains_with_a_caution(workdir, capsys):
    run(capsys, "simulate", "first.csv", "--seconds", "25", "--seed", "4")
    run(capsys, "shape", "first.csv", "--one-phase")
    out = run(capsys, "train", "segments.npz")
    assert "wrote the bundle model/" in out and "warning: few gestures of some classes" in out


def test_plot_says_how_many_pages_it_writes_and_asks_before_too_many(workdir, capsys, monkeypatch):
    run(capsys, "simulate", "long.csv", "--seconds", "130", "--seed", "5")
    monkeypatch.setattr(plot, "MAX_PAGES", 3)

    assert main(["plot", "long.csv"]) == 1
    assert "5 pages of 30 s: choose a stretch" in capsys.readouterr().err
    assert not list(workdir.glob("*.png"))

    assert "writing 2 pages of 30 s" in run(capsys, "plot", "long.csv", "--start", "70")
    assert "wrote first.png" in run(capsys, "plot", "long.csv", "--pages", "1", "-o", "first")
    pages = sorted(p.name for p in workdir.glob("*.png"))
    assert pages == ["first.png", "recording-01.png", "recording-02.png"]


def _back_to_back_takes(path, labels=("up", "down", "left"), takes=6):
    """A sensor file as phone apps write one: the takes of each label one after another, every
    row of a take labelled, a take column, and time stamps that start again in every take."""
    lines, take = ["take,t_ms,ax,ay,az,vx,vy,vz,label"], 0
    for k, label in enumerate(labels):
        settings = SimulationSettings(labels=(label,), rest_s=(2.0, 2.5))
        session = simulate_session(takes * 4, seed=40 + k, settings=settings)
        events = session.events[: takes + 1]
        cuts = [0] + [(a.end + b.start) // 2 for a, b in zip(events, events[1:], strict=False)]
        for first, end in zip(cuts, cuts[1:], strict=False):
            for i in range(first, end):
                values = ",".join(f"{v:.5f}" for v in session.samples[i])
                lines.append(f"{take},{(i - first) * 20},{values},{label}")
            take += 1
    path.write_text("\n".join(lines) + "\n")
    return take


def test_back_to_back_takes_of_one_label_stay_gestures_of_their_own(workdir, capsys):
    takes = _back_to_back_takes(workdir / "phone.csv")
    run(capsys, "import", "phone.csv", "-o", "takes.csv", "--split-column", "take")
    out = run(capsys, "shape", "takes.csv", "-o", "seg.npz")
    assert f"segments of {takes} gestures" in out
    out = run(capsys, "train", "seg.npz", "--classifiers", "logreg", "--folds", "3")
    assert re.search(r"logreg +(9\d|100)\.\d% ± ", out), out
    assert "chosen (at most 3% spurious)" in out

    # Without the truth file the runs of equal labels are the gestures: one per label, too
    # few to cross-validate, which train says instead of scoring every fold 0 %.
    (workdir / "takes.truth.csv").unlink()
    out = run(capsys, "shape", "takes.csv", "-o", "runs.npz")
    assert "segments of 3 gestures" in out
    out = run(capsys, "train", "runs.npz", "--classifiers", "logreg", "-o", "runs")
    assert "0.0%" not in out and re.search(r"logreg +no figure", out), out
    assert "warning: no cross-validated figures: fold 1 is tested on" in out
    assert "the bundle keeps the default thresholds (confidence_th 2, gesture_prob_th 0.6)" in out
