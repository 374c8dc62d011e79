"""Mistakes a user can make get one line on stderr and a non-zero exit, never a traceback."""

import pickle

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from velmorakit.workbench.cli import main
from velmorakit.workbench.segments import SegmentSet, save_segments
from velmorakit.workbench.training import build_encoder


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
