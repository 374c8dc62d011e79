"""Conditioning sensor samples into engine rows, checked against NumPy/SciPy."""

import math

import numpy as np
import pytest
from reference import reference_velocity

from velmorakit.conditioning import (
    CHECK_SAMPLES,
    STANDARD_GRAVITY,
    ColumnMap,
    Conditioner,
    Resampler,
    TimeUnitError,
    VelocityEstimator,
)
from velmorakit.conditioning.gravity import orientation_filter_missing
from velmorakit.errors import InputError as WorkbenchError
from velmorakit.workbench.simulation.synthetic import minimum_jerk

STROKES = ((60, 0, 0.3, 25), (200, 1, -0.4, 40), (380, 2, 0.25, 35))  # start, axis, m, rows


def _session_acceleration(seed=3):
    """Strokes between rests, as a tilted sensor that feels gravity measures them, and the
    strokes' true velocity."""
    strokes = np.zeros((600, 3))
    for start, axis, distance, n in STROKES:
        strokes[start : start + n, axis] = minimum_jerk(distance, n)
    noise = np.random.default_rng(seed).normal(0, 0.05, strokes.shape)
    return strokes + noise + [0.8, -0.5, STANDARD_GRAVITY], np.cumsum(strokes, axis=0) / 50


@pytest.mark.parametrize(
    "options", [{}, {"rest_std": 0.3, "hold_s": 0.2, "leak_s": 1.0}, {"version": 1}]
)
def test_velocity_estimator_steps_runs_and_matches_numpy(options):
    acc, _ = _session_acceleration()
    estimator = VelocityEstimator(50.0, **options)
    stepped = np.array([estimator.step(*row) for row in acc])
    estimator.reset()
    ran = np.vstack([estimator.run(acc[:150]), estimator.run(acc[150:])])
    assert np.array_equal(stepped, ran)  # bit for bit, also across calls
    np.testing.assert_allclose(ran, reference_velocity(acc, 50.0, **options), rtol=0, atol=1e-12)


@pytest.mark.parametrize(
    "gravity, kept, rest_rows",
    [
        # Without gravity a stroke keeps its speed and stops within 0.2 s of its end.
        (False, (0.85, 1.0), 10),
        # With gravity the bias turns towards the acceleration in motion: strokes across
        # gravity lose up to half their speed and stop within 0.5 s.
        (True, (0.45, 1.0), 25),
    ],
)
def test_velocity_estimator_follows_strokes_and_comes_to_rest(gravity, kept, rest_rows):
    acc, true = _session_acceleration()
    if not gravity:
        acc -= [0.8, -0.5, STANDARD_GRAVITY]
    velocity = VelocityEstimator().run(acc)
    for start, axis, _, n in STROKES:
        stroke = slice(start, start + n)
        peak = true[stroke, axis][np.abs(true[stroke, axis]).argmax()]
        estimated = velocity[stroke, axis][np.abs(velocity[stroke, axis]).argmax()]
        assert kept[0] <= estimated / peak <= kept[1]
        assert np.abs(velocity[start + n + rest_rows : start + n + 60]).max() < 0.01
    # The hand turns while it rests: gravity moves 1.7 m/s² from z to x in 2 s.
    turn = np.tile([0.0, 0.0, STANDARD_GRAVITY], (300, 1))
    angle = np.clip(np.linspace(-0.5, 2.5, 300), 0, 2) / 2 * np.radians(10)
    turn[:, 0], turn[:, 2] = STANDARD_GRAVITY * np.sin(angle), STANDARD_GRAVITY * np.cos(angle)
    assert np.abs(VelocityEstimator().run(turn)).max() < 0.05
    # A sensor that never rests (shaking) with an offset drifts no further than the leak lets it.
    shaking = np.column_stack([0.5 + 2 * np.sin(np.arange(2000)), np.zeros(2000), np.zeros(2000)])
    assert np.abs(VelocityEstimator().run(shaking)).max() < 0.5 * 2.0 + 0.5


def test_a_turned_wrist_or_a_turning_sensor_leaves_no_gesture_sized_speed():
    # A stroke along x during which the wrist turns gravity by 20 degrees, then rest.
    start, n, tail = 50, 20, 100
    acc = np.zeros((start + n + tail, 3))
    acc[start : start + n, 0] = minimum_jerk(0.25, n)
    angle = np.radians(20) * np.clip((np.arange(len(acc)) - start) / n, 0, 1)
    acc[:, 0] += STANDARD_GRAVITY * np.sin(angle)
    acc[:, 2] += STANDARD_GRAVITY * np.cos(angle)
    acc += np.random.default_rng(1).normal(0, 0.05, acc.shape)
    speed = np.linalg.norm(VelocityEstimator().run(acc), axis=1)
    # Until the rest is found the bias is off by the turn; the speed must not build up.
    assert speed[start + n : start + n + 30].max() < speed[start : start + n].max() / 5
    # A hand that turns the sensor by 60 degrees in 1.2 s without carrying it (1.8 m/s for
    # an estimate that takes every change of gravity for motion).
    turned = np.radians(60) * (
        0.5 - 0.5 * np.cos(np.pi * np.clip((np.arange(200) - 50) / 60, 0, 1))
    )
    acc = STANDARD_GRAVITY * np.column_stack([np.sin(turned), 0 * turned, np.cos(turned)])
    acc += np.random.default_rng(2).normal(0, 0.05, acc.shape)
    assert np.linalg.norm(VelocityEstimator().run(acc), axis=1).max() < 0.6


def test_resampler_interpolates_jittered_time_stamps_like_numpy():
    rng = np.random.default_rng(5)
    t = 0.013 + np.cumsum(rng.uniform(0.007, 0.013, 600))  # about 100 Hz with jitter
    values = np.column_stack([np.sin(7 * t), np.cos(3 * t)])
    resampler = Resampler(50.0)
    rows = [row for ti, v in zip(t, values, strict=True) for row in resampler.push(ti, v)]
    grid = np.array([row.t for row in rows])
    np.testing.assert_allclose(grid, t[0] + np.arange(len(rows)) / 50.0, rtol=0, atol=1e-12)
    assert grid[-1] <= t[-1] < grid[-1] + 0.02
    expected = np.column_stack([np.interp(grid, t, values[:, i]) for i in range(2)])
    np.testing.assert_allclose([row.values for row in rows], expected, rtol=1e-12, atol=1e-12)
    assert (resampler.read, resampler.emitted, resampler.dropped, resampler.gaps) == (
        600,
        len(rows),
        0,
        0,
    )


def test_resampler_drops_disorder_restarts_after_gaps_and_carries_the_nearer_tag():
    resampler = Resampler(50.0, gap_s=0.2)
    pushes = [
        (0.0, "a"),
        (0.03, "b"),
        (0.03, "x"),
        (0.01, "x"),
        (0.05, "c"),
        (1.0, "d"),
        (1.02, "e"),
        (0.1, "f"),
        (0.12, "g"),
    ]
    rows = [row for t, tag in pushes for row in resampler.push(t, [t], tag)]
    assert [round(r.t, 6) for r in rows] == [0.0, 0.02, 0.04, 1.0, 1.02, 0.1, 0.12]
    assert [r.tag for r in rows] == ["a", "b", "c", "d", "e", "f", "g"]
    assert rows[2].values == pytest.approx((0.04,))
    assert (resampler.read, resampler.dropped, resampler.gaps, resampler.emitted) == (9, 2, 2, 7)


def test_column_map_parses_locates_and_names_what_is_missing():
    mapping = ColumnMap.parse("t=Time, ax=acc_x,ay=acc_y,az=acc_z,label=Gesture")
    header = ["TIME", "Acc_X", "acc_y", "acc_z", "gesture"]
    assert mapping.locate(header) == {"t": 0, "ax": 1, "ay": 2, "az": 3, "label": 4}
    assert not mapping.has_velocity
    missing = r"acc_z, Gesture not in the header \(time, acc_x, acc_y\)"
    with pytest.raises(WorkbenchError, match=missing):
        mapping.locate(["time", "acc_x", "acc_y"])
    for bad, message in [
        ("ax=a,ay=b", "az"),
        ("ax=a,ay=b,az=c,vx=d", "velocity"),
        ("ax=a,ay=b,az=c,gx=d,gy=e", "angular rate"),
        ("ax=a,ay=b,az=c,speed=d", "unknown role"),
        ("ax", "ROLE=COLUMN"),
    ]:
        with pytest.raises(WorkbenchError, match=message):
            ColumnMap.parse(bad)


def test_conditioner_scales_units_drops_bad_samples_and_estimates_velocity():
    conditioner = Conditioner(units="g", time_unit="ms")
    samples = [
        (0, [0, 0, 1]),
        (10, [0, "x", 1]),
        (20, [0.1, 0, 1]),
        (30, [math.nan, 0, 1]),
        (40, [0.1, 0, 1]),
    ]
    rows = [row for t, acc in samples for row in conditioner.push(t, acc)]
    rows += conditioner.finish()  # the first samples are held back to check the time unit
    assert len(rows) == 3 and all(len(r.values) == 6 for r in rows)
    assert rows[1].values[:3] == pytest.approx((0.1 * STANDARD_GRAVITY, 0, STANDARD_GRAVITY))
    estimated = VelocityEstimator().run([r.values[:3] for r in rows])
    assert np.array_equal([r.values[3:] for r in rows], estimated)
    assert conditioner.counts == {
        "read": 5,
        "malformed": 2,
        "out_of_order": 0,
        "gaps": 0,
        "emitted": 3,
    }
    # Without time stamps, 50 Hz samples pass through unchanged.
    plain = Conditioner(has_velocity=True, time_unit=None, input_rate_hz=50)
    data = np.random.default_rng(1).normal(size=(20, 6))
    out = [r.values for row in data for r in plain.push(None, row[:3], row[3:])]
    assert np.array_equal(out, data)


@pytest.mark.skipif(orientation_filter_missing() is not None, reason="imufusion is not installed")
def test_gyroscope_keeps_a_turn_of_the_wrist_from_becoming_motion(monkeypatch):
    # The hand stays in place and turns by 45 degrees about y in 0.5 s: gravity moves from z
    # towards -x in the sensor's axes.
    t = np.arange(200) / 50
    rate = np.where((t >= 1) & (t < 1.5), np.radians(45) / 0.5, 0.0)
    angle = np.cumsum(rate) / 50
    noise = np.random.default_rng(2).normal(0, 0.05, (200, 3))
    acc = np.column_stack([-np.sin(angle), 0 * angle, np.cos(angle)]) * STANDARD_GRAVITY + noise
    gyro = np.column_stack([0 * rate, rate, 0 * rate])

    def rows(conditioner, gyro):
        samples = zip(t, acc, [None] * 200, t, gyro, strict=True)
        pushed = [conditioner.push(*sample) for sample in samples]
        return np.array([row.values for batch in pushed for row in batch])

    with_gyro = rows(Conditioner(has_gyro=True, gyro_units="rad/s"), gyro)
    assert np.linalg.norm(with_gyro[:, 3:], axis=1).max() < 0.1
    in_degrees = rows(Conditioner(has_gyro=True, gyro_units="deg/s"), np.degrees(gyro))
    np.testing.assert_allclose(in_degrees, with_gyro, rtol=0, atol=1e-9)
    alone = rows(Conditioner(), gyro)
    # The accelerometer alone takes part of the turn for motion (it stops it after 0.2 s).
    assert np.linalg.norm(alone[:, 3:], axis=1).max() > 0.3
    # Without imufusion the gyroscope is named as unused and the acceleration alone is used.
    reason = "imufusion is not installed"
    monkeypatch.setattr(
        "velmorakit.conditioning.conditioner.orientation_filter_missing", lambda: reason
    )
    fallback = Conditioner(has_gyro=True, gyro_units="rad/s")
    assert fallback.gyro_note == reason
    assert np.array_equal(rows(fallback, gyro), alone)


@pytest.mark.parametrize(
    "column, step, given, told",
    [
        ("t", 10, None, "ms"),  # millis() of a microcontroller
        ("t", 0.01, None, "s"),
        ("Time (s)", 0.005, None, "s"),
        ("millis", 4, "ms", "ms"),
        ("t_ms", 0.01, "s", "s"),  # a misnamed column: the stamps bear the given unit out
        ("t_ms", 10, "s", r"10 s apart give 0\.1 Hz.*named for ms: they look like ms"),
        ("t", 0.01, "ms", r"0\.01 ms apart give 1e\+05 Hz.*: they look like s"),
        ("t_ms", 0.01, None, r"as the column 't_ms' says.*: they look like s"),
        ("t", 0.3, None, "3.333 Hz in s and 3333 Hz in ms.*cannot tell the unit"),
    ],
)
def test_time_unit_is_told_by_name_or_rate_and_an_implausible_one_is_refused(
    column, step, given, told
):
    stamps = 7 * step + np.cumsum(np.tile([1.0, 0.9, 1.1], 14)[:40] * step)  # jittered
    acc = np.random.default_rng(3).normal(0, 1, (40, 3))
    conditioner = Conditioner(time_unit=given or "auto", time_column=column)
    pushed = []
    if told in ("s", "ms"):
        for t, row in zip(stamps, acc, strict=True):
            pushed.append(conditioner.push(t, row))
        assert pushed[: CHECK_SAMPLES - 1] == [[]] * (CHECK_SAMPLES - 1)  # held back, then
        trusted = Conditioner(time_unit=told, check_samples=0)  # as if the unit were known
        expected = [r for t, row in zip(stamps, acc, strict=True) for r in trusted.push(t, row)]
        assert [r for rows in pushed for r in rows] == expected
        assert conditioner.time_unit == told
        return
    with pytest.raises(TimeUnitError, match=told):
        for t, row in zip(stamps, acc, strict=True):
            pushed += conditioner.push(t, row)
    assert pushed == []  # refused before any row of garbage
