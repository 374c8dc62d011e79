"""Sensor files brought in as 50 Hz recordings, checked against NumPy/SciPy, and the default
path from an acceleration-only sensor file to recognised gestures."""

import re
from pathlib import Path

import numpy as np
import pytest
from reference import reference_velocity

from velmorakit.conditioning import STANDARD_GRAVITY
from velmorakit.workbench.cli import main
from velmorakit.workbench.errors import WorkbenchError
from velmorakit.workbench.recordings.importing import import_recording
from velmorakit.workbench.recordings.recording import read_recording, read_truth, truth_path
from velmorakit.workbench.simulation.sensor import sensor_session, write_sensor_file


def test_import_resamples_scales_and_estimates_velocity_like_numpy(tmp_path):
    t, acc, labels, _ = sensor_session(
        30, seed=8, rate_hz=100, jitter=0.3, gravity=True, tilt_deg=10
    )
    source = tmp_path / "phone.csv"
    write_sensor_file(source, t, acc, labels, time_unit="ms", units="g")
    report = import_recording(source, tmp_path / "r.csv", units="g")

    written = np.genfromtxt(source, delimiter=",", skip_header=1, usecols=(0, 1, 2, 3))
    stamps, in_g = written[:, 0] / 1000, written[:, 1:]
    grid = stamps[0] + np.arange(report.rows_written) / 50
    assert grid[-1] <= stamps[-1] < grid[-1] + 0.02
    expected_acc = np.column_stack([np.interp(grid, stamps, in_g[:, i]) for i in range(3)])
    expected_acc *= STANDARD_GRAVITY
    recording = read_recording(tmp_path / "r.csv")
    np.testing.assert_allclose(recording.samples[:, :3], expected_acc, rtol=0, atol=6e-6)
    expected_vel = reference_velocity(expected_acc)
    np.testing.assert_allclose(recording.samples[:, 3:], expected_vel, rtol=0, atol=6e-6)

    nearer = np.abs(grid[:, None] - stamps[None, :]).argmin(axis=1)
    assert recording.labels.tolist() == labels[nearer].tolist()
    truth = read_truth(truth_path(tmp_path / "r.csv"))
    assert [(e.start, e.end, e.label) for e in truth] == _runs(recording.labels)
    assert (report.time_unit, round(report.input_rate_hz)) == ("ms", 100)


def _runs(labels):
    runs, start = [], 0
    for i in range(1, len(labels) + 1):
        if i == len(labels) or labels[i] != labels[start]:
            if labels[start]:
                runs.append((start, i, labels[start]))
            start = i
    return runs


def test_import_without_time_stamps_takes_the_rate_and_keeps_given_velocity(tmp_path):
    rows = np.random.default_rng(2).normal(size=(101, 6))
    source = tmp_path / "imu.csv"
    np.savetxt(source, rows, delimiter=";", header="ax;ay;az;vx;vy;vz", comments="", fmt="%.17g")
    report = import_recording(source, tmp_path / "r.csv", rate_hz=100)
    samples = read_recording(tmp_path / "r.csv").samples
    assert not report.velocity_estimated and report.time_unit is None
    np.testing.assert_allclose(samples, rows[::2], atol=6e-6)  # 100 Hz -> every other row
    import_recording(source, tmp_path / "same.csv", rate_hz=50)
    np.testing.assert_allclose(read_recording(tmp_path / "same.csv").samples, rows, atol=6e-6)


@pytest.mark.parametrize(
    "text, options, message",
    [
        ("ax,ay,az\n1,2,3\n", {}, "no time column; give the sampling rate with --rate"),
        (
            "t_ms,ax,ay,az\n0,1,2,3\n10,1,2,3\n20,1,2,3\n",
            {"rate_hz": 50},
            "the time stamps say 100 Hz, --rate says 50 Hz",
        ),
        ("time,ax,ay,az\n0,1,2,3\n0.3,1,2,3\n0.6,1,2,3\n", {}, "give --time-unit"),
        (
            "time,acc_x,acc_y\n0,1,2\n",
            {"columns": "t=time,ax=acc_x,ay=acc_y,az=acc_z"},
            r"acc_z not in the header \(time, acc_x, acc_y\)",
        ),
        ("time,x,y,z\n0,1,2,3\n", {}, r"ax, ay, az are not given; header: time, x, y, z"),
        ("t,ax,ay,az\n0,1,2,x\n0.01,nan,2,3\n", {}, "no usable samples"),
    ],
)
def test_import_refuses_what_it_cannot_convert_and_says_why(tmp_path, text, options, message):
    source = tmp_path / "in.csv"
    source.write_text(text)
    with pytest.raises(WorkbenchError, match=message):
        import_recording(source, tmp_path / "out.csv", **options)


def test_a_file_that_breaks_off_midway_leaves_the_earlier_recording_as_it_was(tmp_path):
    # Rows are written as they are made: a malformed row near the end must not leave half a
    # recording where the last good one was.
    source, output = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_text("ax,ay,az\n" + "1,2,3\n" * 500 + '1,2,"' + "9" * 200_000 + '"\n')
    output.write_text("the earlier recording\n")
    with pytest.raises(WorkbenchError, match=r"in.csv:502: field larger than field limit"):
        import_recording(source, output, rate_hz=50)
    assert output.read_text() == "the earlier recording\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.csv"]


def test_takes_split_by_a_column_or_a_clock_reset_are_separate_gestures(tmp_path):
    take = "\n".join(f"{t},0,0,0,7" for t in range(0, 500, 10))
    source = tmp_path / "takes.csv"
    source.write_text(
        "take,t_ms,ax,ay,az,label\n"
        + "\n".join(f"{n},{line}" for n in (1, 2) for line in take.splitlines())
        + "\n"
    )
    for split in ("take", None):
        report = import_recording(source, tmp_path / "r.csv", split_column=split)
        truth = read_truth(truth_path(tmp_path / "r.csv"))
        assert (report.rows_written, report.restarts, report.out_of_order) == (50, 1, 0)
        assert [(e.start, e.end, e.label) for e in truth] == [(0, 25, "7"), (25, 50, "7")]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert code == 0, err
    return out


def test_acceleration_only_sensor_files_become_a_model_that_recognises_gestures(tmp_path, capsys):
    """The default path from a raw 100 Hz accelerometer (gravity, a tilting hand, time
    stamps in ms, no velocity): simulate -> import -> shape -> train -> evaluate."""
    for name, seconds, seed in (("train", 300, 31), ("test", 80, 32)):
        run(
            capsys,
            "simulate",
            tmp_path / f"{name}.sensor.csv",
            "--format",
            "sensor",
            "--seconds",
            seconds,
            "--seed",
            seed,
            "--gravity",
            "--tilt",
            10,
            "--units",
            "g",
        )
        out = run(
            capsys,
            "import",
            tmp_path / f"{name}.sensor.csv",
            "-o",
            tmp_path / f"{name}.csv",
            "--units",
            "g",
        )
        assert "at 100 Hz (time stamps in ms)" in out and "velocity estimated" in out
    run(capsys, "shape", tmp_path / "train.csv", "-o", tmp_path / "seg.npz")
    run(
        capsys,
        "train",
        tmp_path / "seg.npz",
        "-o",
        tmp_path / "model",
        "--classifiers",
        "mlp,logreg",
        "--folds",
        3,
    )
    out = run(
        capsys,
        "evaluate",
        tmp_path / "test.csv",
        "--model",
        tmp_path / "model" / "model.pkl",
        "--encoder",
        tmp_path / "model" / "encoder.pkl",
    )
    recognised = float(re.search(r"recognised: +\d+ +\((\d+\.\d)%", out).group(1))
    spurious = float(re.search(r"spurious: +\d+ +\((\d+\.\d)%", out).group(1))
    assert recognised >= 85 and spurious <= 3, out


def _shared_data() -> Path | None:
    """The team's shared data directory beside the repository (or a worktree of it)."""
    for parent in Path(__file__).resolve().parents[1].parents:
        if (parent / "shared" / "data").is_dir():
            return parent / "shared" / "data"
    return None


PHONE_DIGITS = (_shared_data() or Path("/nonexistent")) / "phone-digits" / "phone_digits.csv"


@pytest.mark.skipif(not PHONE_DIGITS.exists(), reason="shared phone-digits data not present")
def test_real_phone_recordings_import_take_by_take_and_come_to_rest(tmp_path, capsys):
    out = run(
        capsys,
        "import",
        PHONE_DIGITS,
        "-o",
        tmp_path / "digits.csv",
        "--columns",
        "t=t_ms,ax=lin_ax,ay=lin_ay,az=lin_az,label=label",
        "--split-column",
        "take",
    )
    assert re.search(r"rows at 52\.\d+ Hz \(time stamps in ms\)", out)
    assert "afresh 499 time(s)" in out and "dropped" not in out
    recording = read_recording(tmp_path / "digits.csv")
    takes = read_truth(truth_path(tmp_path / "digits.csv"))
    assert len(takes) == 500 and {e.label for e in takes} == set("0123456789")
    # About 5 s per take at 50 Hz. Every take ends at rest, and so must its estimated
    # velocity, or drift would carry over into the next gesture.
    assert all(240 <= e.end - e.start <= 260 for e in takes)
    speed = np.linalg.norm(recording.samples[:, 3:], axis=1)
    at_end = np.array([np.median(speed[e.end - 25 : e.end]) for e in takes])
    assert np.median(at_end) < 0.01 and np.percentile(at_end, 90) < 0.25
