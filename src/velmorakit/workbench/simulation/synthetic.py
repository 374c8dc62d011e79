"""Simulated hand-gesture sessions: labelled 50 Hz recordings with their ground truth.

A session is a sequence of rests and straight strokes along one of the six directions.
Each stroke follows a minimum-jerk profile, the smoothest point-to-point hand movement,
with a little motion on the two other axes. The velocity channels are the running
integral of the acceleration, so the two agree as they would on a real sensor; both
get white measurement noise on top.
"""

from dataclasses import dataclass

import numpy as np

from ...conditioning import DT, SAMPLE_RATE
from .orientation import smooth_step

# The engine's sampling rate and sample interval: recordings are made for it.

# Direction word -> (axis column, sign). x is right/left, y forward/backward, z up/down.
DIRECTIONS = {
    "right": (0, 1.0),
    "left": (0, -1.0),
    "forward": (1, 1.0),
    "backward": (1, -1.0),
    "up": (2, 1.0),
    "down": (2, -1.0),
}


# Gestures other than straight strokes, in the world's frame: a circle and a triangle drawn in
# the vertical plane ahead, a shake from side to side, and a twist of the wrist (a turn about
# the sensor's forward axis and back: no motion of the sensor itself, only of its orientation,
# so it exists only for a sensor held in the hand).
SHAPES = ("circle", "shake", "twist", "triangle")
CIRCLE_RADIUS_M = (0.08, 0.15)
CIRCLE_S = (0.8, 1.4)
# A triangle is three strokes, each begun before the last has ended, so that the hand slows
# at the corners without stopping: several peaks of speed within one gesture.
TRIANGLE_SIDE_M = (0.12, 0.25)
TRIANGLE_SIDE_S = (0.3, 0.5)
TRIANGLE_OVERLAP = (0.2, 0.4)  # share of a side's time spent also on the next one
SHAKE_AMPLITUDE_M = (0.04, 0.08)
SHAKE_HZ = (3.0, 4.0)
SHAKE_CYCLES = (2, 3)
TWIST_S = (0.6, 1.0)


@dataclass(frozen=True)
class SimulationSettings:
    distance_m: tuple[float, float] = (0.15, 0.5)
    duration_s: tuple[float, float] = (0.3, 0.9)
    # Strokes are drawn by average speed, then clipped to the duration range, so that
    # short strokes are not also implausibly slow.
    mean_speed_m_s: tuple[float, float] = (0.5, 1.0)
    rest_s: tuple[float, float] = (1.0, 2.5)
    lead_in_s: float = 1.0
    cross_axis_fraction: float = 0.1
    acc_noise_m_s2: float = 0.05
    vel_noise_m_s: float = 0.01
    labels: tuple[str, ...] = tuple(DIRECTIONS)  # the directions strokes are drawn from


@dataclass(frozen=True)
class GestureEvent:
    """One stroke of a session: rows start..end-1 of the recording."""

    start: int
    end: int
    label: str
    distance: float

    @property
    def signed_distance(self) -> float:
        return DIRECTIONS[self.label][1] * self.distance if self.label in DIRECTIONS else np.nan


@dataclass
class Session:
    samples: np.ndarray  # N x 6: ax, ay, az, vx, vy, vz
    labels: np.ndarray  # N labels, "" on rest rows
    events: list[GestureEvent]


def minimum_jerk(distance: float, n: int) -> np.ndarray:
    """Acceleration of a minimum-jerk stroke of `distance` over n samples, from rest to rest."""
    duration = (n - 1) * DT
    tau = np.arange(n) / (n - 1)
    return distance / duration**2 * (60 * tau - 180 * tau**2 + 120 * tau**3)


def stroke(rng: np.random.Generator, cfg: SimulationSettings, label: str):
    """Acceleration (n x 3, 50 Hz) of one gesture `label` (a direction or one of SHAPES) and
    the distance its hand travels."""
    if label in SHAPES:
        return _shape(rng, label)
    distance = rng.uniform(*cfg.distance_m)
    duration = np.clip(distance / rng.uniform(*cfg.mean_speed_m_s), *cfg.duration_s)
    n = round(duration * SAMPLE_RATE)
    axis, sign = DIRECTIONS[label]
    acc = np.zeros((n, 3))
    acc[:, axis] = minimum_jerk(sign * distance, n)
    # The hand drifts a little sideways too, over part of the stroke: a slightly curved path.
    for other in {0, 1, 2} - {axis}:
        drift = rng.uniform(-1, 1) * cfg.cross_axis_fraction * distance
        length = max(3, round(n * rng.uniform(0.5, 1.0)))
        offset = rng.integers(n - length + 1)
        acc[offset : offset + length, other] = minimum_jerk(drift, length)
    return acc, distance


def _shape(rng: np.random.Generator, label: str) -> tuple[np.ndarray, float]:
    if label == "twist":  # the hand's orientation turns; the sensor stays where it is
        return np.zeros((round(rng.uniform(*TWIST_S) * SAMPLE_RATE), 3)), 0.0
    if label == "circle":  # in the vertical plane ahead, from the bottom, minimum-jerk in angle
        radius = rng.uniform(*CIRCLE_RADIUS_M)
        n = round(rng.uniform(*CIRCLE_S) * SAMPLE_RATE)
        done, pace = smooth_step(np.arange(n) / (n - 1))
        angle, rate = 2 * np.pi * done, 2 * np.pi * pace / ((n - 1) * DT)
        spin = minimum_jerk(2 * np.pi, n)
        acc = np.zeros((n, 3))
        acc[:, 0] = radius * (np.cos(angle) * spin - np.sin(angle) * rate**2)
        acc[:, 2] = radius * (np.sin(angle) * spin + np.cos(angle) * rate**2)
        return acc, 2 * np.pi * radius
    if label == "triangle":
        return _triangle(rng)
    # shake: side to side, A sin(w t) faded in and out by sin^2(pi t / T)
    cycles, hz = rng.integers(SHAKE_CYCLES[0], SHAKE_CYCLES[1] + 1), rng.uniform(*SHAKE_HZ)
    amplitude = rng.uniform(*SHAKE_AMPLITUDE_M)
    n = round(cycles / hz * SAMPLE_RATE) + 1
    t = np.arange(n) * DT
    w, f = 2 * np.pi * hz, np.pi / t[-1]
    fade, fade_rate, fade_spin = (
        np.sin(f * t) ** 2,
        f * np.sin(2 * f * t),
        2 * f**2 * np.cos(2 * f * t),
    )
    acc = np.zeros((n, 3))
    acc[:, 0] = amplitude * (
        fade_spin * np.sin(w * t) + 2 * fade_rate * w * np.cos(w * t) - fade * w**2 * np.sin(w * t)
    )
    return acc, 4 * amplitude * cycles


def _triangle(rng: np.random.Generator) -> tuple[np.ndarray, float]:
    """From the bottom left corner up to the apex, down to the right, back to the left."""
    side = rng.uniform(*TRIANGLE_SIDE_M)
    n = round(rng.uniform(*TRIANGLE_SIDE_S) * SAMPLE_RATE)
    shift = n - round(rng.uniform(*TRIANGLE_OVERLAP) * n)
    acc = np.zeros((2 * shift + n, 3))
    profile = minimum_jerk(side, n)
    for k, degrees in enumerate((60, -60, 180)):
        direction = np.array([np.cos(np.radians(degrees)), 0.0, np.sin(np.radians(degrees))])
        acc[k * shift : k * shift + n] += np.outer(profile, direction)
    return acc, 3 * side


def simulate_session(
    seconds: float, seed: int, settings: SimulationSettings | None = None
) -> Session:
    """A session of about `seconds` with randomly chosen directions, reproducible by seed."""
    cfg = settings or SimulationSettings()
    rng = np.random.default_rng(seed)
    total = round(seconds * SAMPLE_RATE)
    acc = np.zeros((total, 3))
    labels = np.full(total, "", dtype=object)
    events = []
    pos = round(cfg.lead_in_s * SAMPLE_RATE)
    names = list(cfg.labels)
    while True:
        label = names[rng.integers(len(names))]
        stroke_acc, distance = stroke(rng, cfg, label)
        if pos + len(stroke_acc) >= total:
            break
        acc[pos : pos + len(stroke_acc)] = stroke_acc
        labels[pos : pos + len(stroke_acc)] = label
        events.append(GestureEvent(pos, pos + len(stroke_acc), label, round(distance, 4)))
        pos += len(stroke_acc) + round(rng.uniform(*cfg.rest_s) * SAMPLE_RATE)

    # Trapezoidal running integral: the velocity a sensor fusion would report.
    vel = np.zeros_like(acc)
    vel[1:] = np.cumsum((acc[1:] + acc[:-1]) * DT / 2, axis=0)
    samples = np.hstack(
        [
            acc + rng.normal(0, cfg.acc_noise_m_s2, acc.shape),
            vel + rng.normal(0, cfg.vel_noise_m_s, vel.shape),
        ]
    )
    return Session(samples, labels, events)
