"""A sensor held in the hand: gravity, turns, wrist rotation, follow-through, the gyroscope,
quantisation, and the two forms of session written for `import`."""

import csv
from dataclasses import replace

import numpy as np
import pytest
from scipy.integrate import cumulative_trapezoid
from scipy.spatial.transform import Rotation

from velmorakit.conditioning import DT, STANDARD_GRAVITY
from velmorakit.conditioning.gravity import orientation_filter_missing
from velmorakit.workbench.cli import main
from velmorakit.workbench.recordings.recording import read_recording, read_truth, truth_path
from velmorakit.workbench.simulation.handheld import (
    REALISTIC,
    HandSettings,
    _Hand,
    handheld_session,
    handheld_takes,
)
from velmorakit.workbench.simulation.joined_takes import Take, join_takes
from velmorakit.workbench.simulation.synthetic import SimulationSettings

# The realistic hand without the sensor's own errors, sampled fast and unevenly.
QUIET = replace(
    REALISTIC,
    rate_hz=200,
    jitter=0.5,
    acc_noise_m_s2=0.0,
    gyro_noise_rad_s=0.0,
    gyro_bias_rad_s=0.0,
    quantum_g=0.0,
)


@pytest.mark.parametrize("make", [handheld_session, handheld_takes])
def test_at_rest_the_sensor_feels_one_g_in_each_orientation_the_hand_holds(make):
    session = make(90, seed=4, hand=QUIET)
    takes = np.zeros(len(session.t)) if session.takes is None else session.takes
    # 0.1 s before each stroke the hand rests: no turn ends later than 0.3 s before it.
    starts = np.flatnonzero(np.diff(np.r_[0, session.labels != ""].astype(int)) == 1)
    rest = [i - round(0.1 * QUIET.rate_hz) for i in starts]
    assert len(rest) == len(session.events)
    gravity = session.acc[rest]
    np.testing.assert_allclose(np.linalg.norm(gravity, axis=1), STANDARD_GRAVITY, rtol=1e-12)
    # The hand holds the sensor differently from gesture to gesture, within 60 degrees of
    # level give or take its sway.
    tilt = np.degrees(np.arccos(gravity[:, 2] / STANDARD_GRAVITY))
    assert tilt.max() <= QUIET.hold_limit_deg + 2 * QUIET.tilt_deg and np.ptp(tilt) > 20
    assert np.all(np.diff(takes[rest]) >= 0)
    for start_s, end_s, degrees in session.turns:
        turning = (session.t > start_s) & (session.t < end_s)
        assert set(session.labels[turning]) == {""} and 30 <= degrees <= 90
        assert 0.3 <= end_s - start_s <= 1.6


def test_the_hand_keeps_the_sensor_within_its_tilt_and_heading_limits():
    # Strokes are made ahead of the body: a sensor turned far about the vertical would make
    # a stroke to the right look like one forward to anything that reads it.
    hand = _Hand(np.random.default_rng(5), REALISTIC)
    held = [hand.initial]
    for _ in range(300):
        hand.rotate(0.0, 1.0, REALISTIC.turn_deg)
        held.append(hand.current)
    held = Rotation.concatenate(held)
    tilt = np.degrees(np.arccos(held.apply([0.0, 0.0, 1.0])[:, 2]))
    x, y, z, w = held.as_quat().T
    heading = np.degrees(np.abs(np.angle((w + 1j * z) ** 2)))
    assert 45 < tilt.max() <= REALISTIC.hold_limit_deg + 1e-9
    assert 20 < heading.max() <= REALISTIC.heading_limit_deg + 1e-9


def test_a_twist_turns_the_sensor_about_its_forward_axis_and_back():
    level = replace(QUIET, turns=False, tilt_deg=0.0)
    settings = SimulationSettings(labels=("twist",))
    session = handheld_session(30, seed=6, hand=level, settings=settings)
    assert session.events
    for event in session.events:
        at = [(event.start - 5) * DT, (event.start + event.end) / 2 * DT, (event.end + 5) * DT]
        before, middle, after = session.acc[np.searchsorted(session.t, at)]
        turned = np.degrees(np.arccos(before @ middle / STANDARD_GRAVITY**2))
        assert 60 - 1e-6 <= turned <= 90 + 1e-6 and middle[1] == pytest.approx(before[1])
        np.testing.assert_allclose(after, before, atol=1e-9)


def _integrated(t: np.ndarray, gyro: np.ndarray, rows: list[int]) -> list[Rotation]:
    """The sensor's rotation from the first sample to each of `rows`, from its angular rate."""
    rotation, found = Rotation.identity(), {0: Rotation.identity()}
    steps = Rotation.from_rotvec((gyro[1:] + gyro[:-1]) / 2 * np.diff(t)[:, None])
    for row in range(1, max(rows) + 1):
        rotation = rotation * steps[row - 1]
        found[row] = rotation
    return [found[row] for row in rows]


def _joined_takes():
    """Two takes at rest with gravity 70 degrees apart, joined by a turn."""
    t = np.arange(0, 1, 0.019)
    ends = [np.array([0.0, 0.0, 1.0]), np.array([0.0, np.sin(1.2), np.cos(1.2)])]
    takes = [
        Take(t, np.tile(STANDARD_GRAVITY * g, (len(t), 1)), np.zeros((len(t), 3)), label)
        for g, label in zip(ends, "47", strict=True)
    ]
    return join_takes(takes, np.random.default_rng(1))


@pytest.mark.parametrize("source", ["simulated", "joined"])
def test_the_gyroscope_integrates_to_the_orientation_change(source):
    if source == "simulated":
        session = handheld_session(40, seed=6, hand=QUIET)
    else:
        session = _joined_takes()
        assert session.labels.tolist().count("") > 40 and len(session.turns) == 1
    assert np.all(np.diff(session.t) > 0)
    # Gravity is fixed in the world, so the sensor sees it turn back by the sensor's rotation.
    rows = [np.searchsorted(session.t, end_s + 0.15) for _, end_s, _ in session.turns]
    first = session.acc[0] / STANDARD_GRAVITY
    for row, rotation in zip(rows, _integrated(session.t, session.gyro, rows), strict=True):
        seen = session.acc[row] / np.linalg.norm(session.acc[row])
        assert np.degrees(np.arccos(min(1.0, rotation.inv().apply(first) @ seen))) < 0.05


def test_strokes_with_follow_through_end_while_the_hand_still_moves():
    hand = HandSettings(gravity=False, follow_through=True, rate_hz=200, acc_noise_m_s2=0.0)
    session = handheld_session(60, seed=2, hand=hand)
    speed = np.linalg.norm(cumulative_trapezoid(session.acc, session.t, axis=0, initial=0), axis=1)
    ends = [event.end * DT for event in session.events if event.end * DT + 1 < session.t[-1]]
    assert len(ends) >= 10
    # Moving as the gesture ends, at rest a second later.
    assert speed[np.searchsorted(session.t, ends)].min() > 0.04
    assert speed[np.searchsorted(session.t, np.add(ends, 1.0))].max() < 1e-3


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert code == 0, err
    return out


@pytest.mark.parametrize("form", ["session", "takes"])
def test_realistic_sensor_files_import_with_turns_unlabelled_or_one_gesture_per_take(
    tmp_path, capsys, form
):
    source, recording = tmp_path / "hand.csv", tmp_path / "r.csv"
    extra = ["--takes"] if form == "takes" else []
    argv = ["--seconds", 60, "--realistic", "--units", "g", "--gyro-units", "deg/s", *extra]
    run(capsys, "simulate", source, "--format", "sensor", "--seed", 3, *argv)
    with source.open() as handle:
        rows = list(csv.DictReader(handle))
    header = ["t_ms", "ax", "ay", "az", "gx", "gy", "gz", "label"]
    assert list(rows[0]) == header + (["take"] if form == "takes" else [])
    # 0.04 g steps, and the gyroscope in degrees per second.
    steps = np.array([[float(row[a]) / 0.04 for a in ("ax", "ay", "az")] for row in rows])
    np.testing.assert_allclose(steps, np.round(steps), atol=2e-4)
    assert 20 < max(abs(float(row["gx"])) for row in rows) < 600

    split = ["--split-column", "take"] if form == "takes" else []
    out = run(capsys, "import", source, "-o", recording, "--units", "g", *split)
    labels = read_recording(recording).labels
    truth = read_truth(truth_path(recording))
    if form == "takes":
        assert len(truth) == len({row["take"] for row in rows})
        assert f"afresh {len(truth) - 1} time(s)" in out
        assert not (tmp_path / "hand.turns.csv").exists()
    else:
        with (tmp_path / "hand.turns.csv").open() as handle:
            turns = list(csv.DictReader(handle))
        assert len(turns) == len(truth) - 1
        for turn in turns:
            start, end = int(turn["start"]), int(turn["end"])
            assert abs(start / 50 - float(turn["start_s"])) <= 0.02
            assert set(labels[start:end]) == {""} and end - start >= 40
        # Without the gyroscope, the earlier velocity estimate (of models trained before)
        # takes the turns for motion.
        alone = ["--units", "g", "--columns", "t=t_ms,ax=ax,ay=ay,az=az,label=label"]
        imported = {}
        for version in (2, 1):
            out = tmp_path / f"v{version}.csv"
            run(capsys, "import", source, "-o", out, *alone, "--velocity-estimate", version)
            imported[version] = read_recording(out).samples
        np.testing.assert_array_equal(imported[2][:, :3], imported[1][:, :3])
        spans = [slice(int(t["start"]), int(t["end"])) for t in turns]
        peaks = {
            version: np.median([np.linalg.norm(rows[at, 3:], axis=1).max() for at in spans])
            for version, rows in imported.items()
        }
        assert peaks[2] < peaks[1] / 2


@pytest.mark.skipif(orientation_filter_missing() is not None, reason="imufusion is not installed")
def test_twists_are_cut_from_the_accelerometer_alone_and_vanish_with_the_gyroscope(
    tmp_path, capsys
):
    source = tmp_path / "hand.csv"
    argv = ["--seconds", 60, "--realistic", "--gestures", "twist,circle", "--seed", 4]
    run(capsys, "simulate", source, "--format", "sensor", *argv)
    columns = {"without": "t=t_ms,ax=ax,ay=ay,az=az,label=label", "with": None}
    for gyroscope, mapping in columns.items():
        recording = tmp_path / f"{gyroscope}.csv"
        chosen = ["--columns", mapping] if mapping else []
        run(capsys, "import", source, "-o", recording, "--gyro-units", "rad/s", *chosen)
        code = main(["shape", str(recording), "-o", str(tmp_path / f"{gyroscope}.npz")])
        out, err = capsys.readouterr()
        counted = out.split(" gestures (")[1].split(")")[0]
        assert code == 0 and "circle" in counted
        warned = "none of the" in err and "'twist' gestures gave a segment" in err
        assert warned == ("twist" not in counted) == (gyroscope == "with"), err
