"""Simulated sessions: physically consistent strokes where the ground truth says they are."""

import numpy as np
import pytest
from scipy.integrate import cumulative_trapezoid

from velmorakit.conditioning import SAMPLE_RATE
from velmorakit.workbench.simulation.synthetic import (
    DIRECTIONS,
    SHAPES,
    SimulationSettings,
    minimum_jerk,
    simulate_session,
    stroke,
)

QUIET = SimulationSettings(acc_noise_m_s2=0.0, vel_noise_m_s=0.0)


@pytest.mark.parametrize("distance, n", [(0.15, 15), (-0.5, 45), (0.3, 31)])
def test_minimum_jerk_covers_the_distance_and_ends_at_rest(distance, n):
    acc = minimum_jerk(distance, n)
    dt = 1 / SAMPLE_RATE
    vel = cumulative_trapezoid(acc, dx=dt, initial=0)
    pos = cumulative_trapezoid(vel, dx=dt, initial=0)
    assert abs(pos[-1] - distance) < 0.03 * abs(distance)  # trapezoid error on few samples
    assert abs(vel[-1]) < 0.01 * np.abs(vel).max()


def test_velocity_is_the_running_integral_of_acceleration():
    session = simulate_session(20, seed=3, settings=QUIET)
    acc, vel = session.samples[:, :3], session.samples[:, 3:]
    np.testing.assert_allclose(
        vel, cumulative_trapezoid(acc, dx=1 / SAMPLE_RATE, axis=0, initial=0), atol=1e-12
    )


@pytest.mark.parametrize("seed", [0, 5])
def test_events_match_the_labelled_rows_and_move_along_their_axis(seed):
    cfg = SimulationSettings()
    session = simulate_session(60, seed=seed, settings=QUIET)
    rows = np.flatnonzero(session.labels != "")
    assert rows.tolist() == [i for e in session.events for i in range(e.start, e.end)]
    for event in session.events:
        axis, sign = DIRECTIONS[event.label]
        vel = session.samples[event.start : event.end, 3:]
        travelled = cumulative_trapezoid(vel, dx=1 / SAMPLE_RATE, axis=0)[-1]
        assert sign * travelled[axis] == pytest.approx(event.distance, rel=0.03)
        off_axis = np.delete(np.abs(travelled), axis)
        assert off_axis.max() <= cfg.cross_axis_fraction * event.distance + 0.01
        assert cfg.distance_m[0] <= event.distance <= cfg.distance_m[1]
        seconds = (event.end - event.start) / SAMPLE_RATE
        assert cfg.duration_s[0] - 0.02 <= seconds <= cfg.duration_s[1] + 0.02
    rests = [b.start - a.end for a, b in zip(session.events, session.events[1:], strict=False)]
    assert min(rests) >= cfg.rest_s[0] * SAMPLE_RATE


def test_shapes_and_shakes_come_back_to_where_they_began_and_twists_stay_put():
    rng = np.random.default_rng(4)
    for label in SHAPES:
        acc, distance = stroke(rng, QUIET, label)
        vel = cumulative_trapezoid(acc, dx=1 / SAMPLE_RATE, axis=0, initial=0)
        pos = cumulative_trapezoid(vel, dx=1 / SAMPLE_RATE, axis=0, initial=0)
        if label == "twist":
            assert distance == 0 and not acc.any()
            continue
        reach = np.linalg.norm(pos, axis=1).max()
        # within the trapezoid rule's error on 13 to 17 samples a cycle
        assert np.linalg.norm(pos[-1]) < 0.1 * reach and np.abs(vel[-1]).max() < 0.02
        # A circle reaches across its diameter, a triangle nearly as far as a side (the hand
        # rounds its corners, slowing without stopping); a shake swings 4 to 8 cm each way.
        if label == "circle":
            assert reach == pytest.approx(distance / np.pi, rel=0.02)
        elif label == "triangle":
            assert 0.85 * distance / 3 < reach <= distance / 3 and not pos[:, 1].any()
            speed = np.linalg.norm(vel, axis=1)
            assert np.sum(np.diff(np.sign(np.diff(speed))) < 0) == 3
            assert speed[len(speed) // 4 : -len(speed) // 4].min() > 0.2 * speed.max()
        else:
            assert 0.06 < np.ptp(pos[:, 0]) < 0.17 and not pos[:, 1:].any()


def test_sessions_are_reproducible_by_seed():
    a, b, c = (simulate_session(30, seed=s) for s in (1, 1, 2))
    np.testing.assert_array_equal(a.samples, b.samples)
    assert a.events == b.events
    assert a.events != c.events
