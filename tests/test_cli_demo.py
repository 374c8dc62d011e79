"""The demo end to end: default model trained and cached, a short session streamed live."""

import re

import pytest

from velmorakit import default_model, native
from velmorakit.cli import main
from velmorakit.errors import CommandError

try:
    native.gesture_service_class()
    native.computing_class()
except CommandError:
    pytest.skip("the gesture service is not built", allow_module_level=True)


def test_demo_trains_caches_and_recognises_a_stream(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    monkeypatch.setattr(default_model, "TRAINING_SEEDS", (1000, 1001))
    argv = ["demo", "--seconds", "10", "--speed", "5", "--seed", "3"]

    assert main(argv) == 0
    out = capsys.readouterr().out
    assert "trained the default model" in out
    assert len(list((tmp_path / "velmorakit").glob("default-*.pkl"))) == 2
    lines = [line for line in out.splitlines() if "| truth:" in line]
    assert lines and all(line.endswith(" ok") for line in lines)
    summary = re.search(r"(\d+) gestures: (\d+) recognised, 0 misclassified, 0 missed", out)
    assert summary and summary.group(1) == summary.group(2) == str(len(lines))
    assert "latency" in out

    assert main(argv) == 0
    assert "using the cached default model" in capsys.readouterr().out
