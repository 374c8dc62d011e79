"""Mistakes a user can make get one line on stderr and a non-zero exit, never a traceback."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from velmorakit.workbench.cli import main
from velmorakit.workbench.learning.segments import SegmentSet, save_segments
from velmorakit.workbench.learning.training import build_encoder


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "flat.csv").write_text("ax,ay,az,vx,vy,vz\n" + "0,0,0,0,0,0\n" * 200)
    (tmp_path / "nolabel.csv").write_text("ax,ay,az,vx,vy\n1,2,3,4,5\n")
    wrong = LogisticRegression().fit(np.eye(4), ["up", "up", "down", "down"])
    (tmp_path / "wrong.pkl").write_bytes(pickle.dumps(wrong))
    (tmp_path / "enc.pkl").write_bytes(pickle.dumps(build_encoder(["down", "up"])))
    (tmp_path / "junk.npz").write_bytes(b"PK not really")
    one_class = SegmentSet(
        np.zeros((4, 300)), np.array(["up"] * 4), np.zeros((4, 2)), np.array(["a"] * 4)
    )
    save_segments(tmp_path / "one.npz", one_class)
    return tmp_path


@pytest.mark.parametrize(
    "argv, message",
    [
        (["shape", "missing.csv"], "missing.csv: no such file"),
        (["shape", "nolabel.csv"], "nolabel.csv: missing column(s) vz"),
        (["shape", "flat.csv"], "no segment covers a labelled row"),
        (["train", "junk.npz"], "junk.npz: not a segment file"),
        (["train", "one.npz"], "at least two gesture classes"),
        (
            ["evaluate", "flat.csv", "--model", "wrong.pkl", "--encoder", "enc.pkl"],
            "expects 4 features",
        ),
        (
            ["plot", "flat.csv", "--model", "nothere.pkl", "--encoder", "x.pkl"],
            "nothere.pkl: no such file",
        ),
        (["plot", "flat.csv", "--start", "60"], "outside the recording"),
        (["plot", "flat.csv", "-o", "plot.txt"], "plot.txt: pictures are written as PNG"),
        (["demo", "--model", "wrong.pkl", "--encoder", "enc.pkl"], "expects 4 features"),
        (["simulate", "flat.csv/x.csv"], "flat.csv: File exists"),
    ],
)
def test_user_errors_are_one_line(workdir, capsys, argv, message):
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith(f"velmorakit {argv[0]}: error:") and message in err


@pytest.mark.parametrize(
    "argv",
    [
        ["evaluate", "flat.csv", "--model", "wrong.pkl"],
        ["demo", "--encoder", "wrong.pkl"],
        ["simulate", "x.csv", "--seconds", "-3"],
        ["train", "one.npz", "--test-size", "0.25"],
        ["simulate", "x.csv", "--seconds", "1e9"],
        ["evaluate", "flat.csv", "--model", "m.pkl", "--encoder", "e.pkl", "--prob-th", "1.5"],
        ["evaluate", "flat.csv", "--model", "m.pkl", "--encoder", "e.pkl", "--confidence-th", "-1"],
        ["frobnicate"],
    ],
)
def test_usage_errors_exit_with_2(workdir, capsys, argv):
    assert main(argv) == 2
    assert "Traceback" not in capsys.readouterr().err


def test_missing_optional_package_is_one_line(monkeypatch, capsys):
    import builtins

    real_import = builtins.__import__

    def no_tqdm(name, *args, **kwargs):
        if name == "tqdm":
            raise ModuleNotFoundError("No module named 'tqdm'", name="tqdm")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_tqdm)
    assert main(["shape", "missing.csv", "-o", "out.npz"]) == 1
    err = capsys.readouterr().err
    assert "pip install 'velmorakit[app]'" in err and "Traceback" not in err


def run_python(code: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, **kwargs
    )


def test_output_into_a_closed_pipe_ends_quietly(tmp_path):
    # As in `velmorakit evaluate ... | head`: the reader is gone before the command writes.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "velmorakit",
                "simulate",
                str(tmp_path / "s.csv"),
                "--seconds",
                "5",
            ],
            stdout=write_end,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
        )
    finally:
        os.close(write_end)
    assert done.returncode == 1
    assert done.stderr == ""


def test_importing_the_plots_leaves_the_matplotlib_backend_alone():
    done = run_python(
        "import matplotlib; matplotlib.use('svg');"
        "import velmorakit.workbench.assessment.plotting;"
        "print(matplotlib.get_backend())"
    )
    assert done.stdout.strip() == "svg", done.stderr


def test_a_replay_too_slow_for_the_worker_is_refused(workdir, capsys, sklearn_model_files):
    model, encoder = sklearn_model_files
    argv = ["listen", "--source", "file:flat.csv", "--model", model, "--encoder", encoder]
    assert main([*argv, "--speed", "0.1"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "over the worker's stall limit of 1.02 s" in err
    assert "replay faster than 0.196" in err
