"""What evaluate does with recordings that cannot be scored as they are."""

import csv
import re
import shutil

import pytest

from velmorakit.workbench.cli import main

ROTATE = {
    "up": "down",
    "down": "left",
    "left": "right",
    "right": "forward",
    "forward": "backward",
    "backward": "up",
}


@pytest.fixture
def models(tmp_path, monkeypatch, capsys, sklearn_model_files):
    monkeypatch.chdir(tmp_path)
    for name, seconds, seed in (("a.csv", 20, 1), ("b.csv", 60, 2)):
        assert main(["simulate", name, "--seconds", str(seconds), "--seed", str(seed)]) == 0
    (tmp_path / "flat.csv").write_text("ax,ay,az,vx,vy,vz\n" + "0,0,0,0,0,0\n" * 200)
    (tmp_path / "rest.csv").write_text("ax,ay,az,vx,vy,vz,label\n" + "0,0,0,0,0,0,\n" * 200)
    capsys.readouterr()
    return sklearn_model_files


def evaluate(capsys, models, *recordings):
    code = main(["evaluate", *recordings, "--model", models[0], "--encoder", models[1]])
    out, err = capsys.readouterr()
    return code, out, err


def relabel(path, mapping):
    with open(path, newline="") as handle:
        rows = list(csv.reader(handle))
    for row in rows[1:]:
        row[-1] = mapping.get(row[-1], row[-1])
    with open(path, "w", newline="") as handle:
        csv.writer(handle).writerows(rows)


def test_a_truth_file_that_is_not_the_recordings_is_refused(models, capsys):
    shutil.copy("a.truth.csv", "a.truth.kept")
    shutil.copy("b.truth.csv", "a.truth.csv")
    code, _, err = evaluate(capsys, models, "a.csv")
    assert code == 1 and "lies outside the recording's 1000 rows" in err

    shutil.copy("a.truth.kept", "a.truth.csv")
    relabel("a.csv", ROTATE)
    code, _, err = evaluate(capsys, models, "a.csv")
    assert code == 1 and "disagree with the recording's label column" in err


def test_what_cannot_be_scored_is_said_and_left_out(models, capsys):
    code, out, err = evaluate(capsys, models, "flat.csv")
    assert code == 1 and "flat.csv: cannot be scored" in err and "none of the recordings" in err

    # Pure rest: no gestures to recognise, no percentage of nothing.
    code, out, err = evaluate(capsys, models, "rest.csv", "flat.csv", "b.csv")
    assert code == 0 and "flat.csv: cannot be scored" in err
    assert "nan" not in out

    code, out, _ = evaluate(capsys, models, "rest.csv")
    assert code == 0 and "gestures: 0" in out and "no gestures" in out and "nan" not in out

    # Labels from the label column, with rest rows marked and the directions in capitals.
    shutil.move("a.truth.csv", "a.truth.away")
    relabel("a.csv", {**{word: word.upper() for word in ROTATE}, "": "rest"})
    code, out, err = evaluate(capsys, models, "a.csv")
    assert code == 0
    assert "only in case" in err
    assert "'rest'" in err and "rest marker" in err
    # Rest stays rest; the gestures, which the model cannot name, are left out.
    gestures = len(open("a.truth.away").read().splitlines()) - 1
    assert re.search(r"gestures: 0 ", out)
    assert int(re.search(r"not scored: +(\d+)", out).group(1)) == gestures


@pytest.mark.parametrize("delimiter, encoding", [(",", "latin-1"), (";", "utf-8")])
def test_recordings_without_truth_are_scored_as_any_recording_is_read(
    models, capsys, delimiter, encoding
):
    gestures = len(open("a.truth.csv").read().splitlines()) - 1
    shutil.move("a.truth.csv", "a.truth.away")
    with open("a.csv", newline="") as handle:
        rows = list(csv.reader(handle))
    first = next(row[-1] for row in rows[1:] if row[-1])
    for row in rows[1:]:
        row[-1] = "drücken" if row[-1] == first else row[-1]
    with open("a.csv", "w", newline="", encoding=encoding) as handle:
        csv.writer(handle, delimiter=delimiter).writerows(rows)

    code, out, err = evaluate(capsys, models, "a.csv")

    assert code == 0, err
    assert "'drücken'" in err and "not among the model's classes" in err
    scored = int(re.search(r"gestures: (\d+)", out).group(1))
    assert 0 < scored < gestures
