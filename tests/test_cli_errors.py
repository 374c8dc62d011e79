"""Mistakes a user can make get one line on stderr and a non-zero exit, never a traceback."""

import json
import math
import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from velmorakit.errors import InputError
from velmorakit.workbench.cli import main
from velmorakit.workbench.learning.bundle import write_bundle
from velmorakit.workbench.learning.segments import SegmentSet, save_segments
from velmorakit.workbench.learning.training import build_encoder

SETTINGS = {"rate_hz": 50, "confidence_th": 2, "gesture_prob_th": 0.6, "num_sample": 10}


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
    (tmp_path / "raw.csv").write_text(
        "t_ms,ax,ay,az\n" + "".join(f"{10 * k},0,0,1\n" for k in range(9))
    )
    (tmp_path / "link.csv").symlink_to(tmp_path / "raw.csv")
    (tmp_path / "header.csv").write_text("t_ms,ax,ay,az\n")
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
        (["evaluate", "flat.csv", "--model", "/nonexistent"], "/nonexistent: no such file or dir"),
        (["train", "flat.csv"], "expects the segments file (.npz) that `velmorakit shape` writes"),
        (["import", "header.csv", "-o", "r.csv"], "header.csv: no samples, only a header"),
        # An output that is an input, however it is named, is refused before anything is read.
        (["import", "raw.csv", "-o", "raw.csv"], "replace the input raw.csv"),
        (["import", "link.csv", "-o", "./raw.csv"], "replace the input link.csv"),
        (["import", "flat.truth.csv", "-o", "flat.csv"], "replace the input flat.truth.csv"),
        (["shape", "one.npz", "-o", "one"], "replace the input one.npz"),
        (
            ["evaluate", "flat.csv", "--model", "wrong.pkl", "--encoder", "enc.pkl"]
            + ["--outcomes-csv", "flat.truth.csv"],
            "replace the input flat.truth.csv",
        ),
        (
            ["evaluate", "flat.csv", "--model", "wrong.pkl", "--encoder", "enc.pkl"]
            + ["--sweep-png", "s.png", "--confusion-png", "s"],
            "given twice as an output",
        ),
        (["record", "--source", "file:raw.csv", "-o", "link.csv"], "replace the input raw.csv"),
        (["record", "--source", "file:raw.csv", "-o", "flat.csv"], "give --force to replace"),
    ],
)
def test_user_errors_are_one_line(workdir, capsys, argv, message):
    before = {p.name: p.read_bytes() for p in workdir.iterdir() if p.is_file()}
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith(f"velmorakit {argv[0]}: error:") and message in err
    assert {p.name: p.read_bytes() for p in workdir.iterdir() if p.is_file()} == before


@pytest.mark.parametrize(
    "argv",
    [
        ["evaluate", "flat.csv", "--model", "wrong.pkl"],
        ["demo", "--encoder", "wrong.pkl"],
        ["simulate", "x.csv", "--seconds", "-3"],
        ["train", "one.npz", "--test-size", "0.25"],
        ["simulate", "x.csv", "--seconds", "1e9"],
        ["simulate", "x.csv", "--seed", "-1"],
        ["simulate", "x.csv", "--format", "sensor", "--rate", "1e7"],
        ["simulate", "x.csv", "--format", "sensor", "--rate", "0.001"],
        ["simulate", "x.csv", "--format", "sensor", "--gravity", "--tilt", "1000"],
        ["simulate", "x.csv", "--format", "sensor", "--gravity", "--tilt", "-10"],
        ["simulate", "x.csv", "--format", "sensor", "--gravity", "--tilt", "nan"],
        ["import", "raw.csv", "-o", "r.csv", "--rate", "1e-9"],
        ["demo", "--seconds", "1e12"],
        ["demo", "--speed", "1e-300"],
        ["shape", "flat.csv", "--step", "1000000000000"],
        ["train", "one.npz", "--hidden", "100000000"],
        ["plot", "flat.csv", "--start", "1e308"],
        ["evaluate", "flat.csv", "--model", "m.pkl", "--encoder", "e.pkl", "--num-sample", "1e12"],
        ["evaluate", "flat.csv", "--model", "m", "--encoder", "e", "--poll-interval", "1e-310"],
        ["listen", "--source", "stdin", "--model", "m.pkl", "--silence", "1e300"],
        ["listen", "--source", "stdin", "--model", "m.pkl", "--baud", "-9600"],
        ["record", "--source", "stdin", "-o", "r.csv", "--takes", "1000000000"],
        ["record", "--source", "stdin", "-o", "r.csv", "--gesture-seconds", "1e300"],
        ["evaluate", "flat.csv", "--model", "m.pkl", "--encoder", "e.pkl", "--prob-th", "1.5"],
        ["evaluate", "flat.csv", "--model", "m.pkl", "--encoder", "e.pkl", "--confidence-th", "-1"],
        ["frobnicate"],
    ],
)
def test_usage_errors_exit_with_2(workdir, capsys, argv):
    assert main(argv) == 2
    assert "Traceback" not in capsys.readouterr().err


def test_bundle_warnings_and_errors_are_one_line(workdir, capsys):
    x = np.random.default_rng(0).normal(size=(8, 300))
    model = LogisticRegression().fit(x, ["down", "up"] * 4)
    write_bundle(workdir / "model", model, build_encoder(["down", "up"]), **SETTINGS)
    manifest_path = workdir / "model" / "bundle.json"
    manifest = json.loads(manifest_path.read_text())
    manifest["versions"]["scikit-learn"] = "0.24.2"
    manifest_path.write_text(json.dumps(manifest))
    assert main(["evaluate", "flat.csv", "--model", "model"]) == 1  # nothing to score
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith("velmorakit evaluate: warning: model: made with scikit-learn 0.24.2")
    assert all(line.startswith("velmorakit evaluate: ") for line in err)

    manifest_path.write_text(json.dumps({**manifest, "confidence_th": math.nan}))
    assert main(["evaluate", "flat.csv", "--model", "model"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "confidence_th must be a number, 0 or more, not nan" in err


@pytest.mark.parametrize("apt", [False, True], ids=["pip", "apt"])
def test_missing_optional_package_is_one_line_that_says_how_to_install_it(
    tmp_path, monkeypatch, capsys, apt
):
    import builtins

    from velmorakit.workbench import install_hints
    from velmorakit.workbench.sources.transports import SerialTransport

    real_import = builtins.__import__

    def no_tqdm(name, *args, **kwargs):
        if name == "tqdm":
            raise ModuleNotFoundError("No module named 'tqdm'", name="tqdm")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_tqdm)
    monkeypatch.setitem(sys.modules, "serial", None)  # pyserial missing
    monkeypatch.setattr(sys, "prefix", str(tmp_path))  # no virtual environment of apt's Python
    if apt:  # NumPy found where Debian's python3-numpy puts it
        monkeypatch.setattr(install_hints, "APT_PACKAGES", Path(np.__file__).parents[1])
    assert main(["shape", "missing.csv", "-o", "out.npz"]) == 1
    err = capsys.readouterr().err
    with pytest.raises(InputError) as serial:
        SerialTransport("/dev/ttyACM0", 115200, 1.0)

    if apt:
        assert "sudo apt-get install python3-tqdm" in err
        assert str(serial.value).endswith("sudo apt-get install python3-serial")
    else:
        assert "pip install 'velmorakit[app]'" in err
        assert str(serial.value).endswith("pip install 'velmorakit[serial]'")
    assert "Traceback" not in err


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
