"""The demo end to end: default model trained and cached, a short session streamed live."""

import multiprocessing
import re

from velmorakit.workbench.cli import main
from velmorakit.workbench.commands.demo import DemoTally
from velmorakit.workbench.learning import default_model
from velmorakit.workbench.simulation.synthetic import GestureEvent


def test_results_are_attributed_to_the_latest_unreported_gesture():
    tally = DemoTally([GestureEvent(50, 70, "up", 0.3), GestureEvent(150, 170, "left", 0.2)])
    assert tally.attribute(60) == 0  # mid-stroke: the stroke under way
    tally.matched[0] = "up"
    assert tally.attribute(140) is None  # the only gesture begun is already reported
    tally.spurious += 1
    assert tally.attribute(200) == 1
    tally.matched[1] = "right"
    assert tally.attribute(400) is None  # everything has left the window
    assert tally.summary(400).startswith(
        "2 gestures: 1 recognised, 1 misclassified, 0 missed, 1 spurious (accuracy 50%)"
    )
    assert tally.summary(100).startswith("1 gestures: 1 recognised")


def test_demo_trains_caches_and_recognises_a_stream(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    monkeypatch.setattr(default_model, "TRAINING_SEEDS", (1000, 1001))
    monkeypatch.setattr(default_model, "CLASSIFIERS", ("mlp",))
    argv = ["demo", "--seconds", "8", "--speed", "8", "--seed", "3"]
    mp_logger = multiprocessing.get_logger()
    logging_before = (mp_logger.level, list(mp_logger.handlers))

    assert main(argv) == 0
    out, err = capsys.readouterr()
    assert "trained the default model" in err
    assert len(list((tmp_path / "velmorakit").glob("default-*/*.pkl"))) == 2
    lines = out.splitlines()  # one per result, the banner and the summary on stderr
    assert lines and all("| truth:" in line and line.endswith(" ok") for line in lines)
    summary = re.search(r"(\d+) gestures: (\d+) recognised, 0 misclassified, 0 missed", err)
    assert summary and summary.group(1) == summary.group(2) == str(len(lines))
    assert "latency" in err
    # Only the worker logs through multiprocessing; this process logs as it did before.
    assert (mp_logger.level, mp_logger.handlers) == logging_before

    assert main(argv) == 0
    assert "using the cached default model" in capsys.readouterr().err
