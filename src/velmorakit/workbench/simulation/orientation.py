"""How a hand holds a sensor over time, and what the sensor's accelerometer and gyroscope feel.

World frame: x right, y forward, z up, gravity -1 g along z. An orientation takes vectors from
the sensor's frame to the world's, so a sensor held in orientation R measures the specific
force R^T (a + g z) (linear acceleration less gravity) and the angular rate R^T w, w the
world-frame angular velocity. A level sensor at rest feels +1 g along its z axis.
"""

from dataclasses import dataclass

import numpy as np
from scipy.spatial.transform import Rotation

from ...conditioning import STANDARD_GRAVITY

UP = np.array([0.0, 0.0, 1.0])


def smooth_step(tau: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The minimum-jerk profile from 0 to 1 and its derivative, for tau clipped to [0, 1]."""
    tau = np.clip(tau, 0.0, 1.0)
    return tau**3 * (10 - 15 * tau + 6 * tau**2), 30 * tau**2 * (1 - tau) ** 2


def random_axis(rng: np.random.Generator) -> np.ndarray:
    """A direction drawn uniformly over the sphere."""
    v = rng.normal(size=3)
    return v / np.linalg.norm(v)


@dataclass(frozen=True)
class Turn:
    """A rotation by `angle` (rad) about a fixed world `axis`, minimum-jerk in time."""

    start_s: float
    duration_s: float
    axis: np.ndarray
    angle: float

    @property
    def end_s(self) -> float:
        return self.start_s + self.duration_s

    @property
    def rotation(self) -> Rotation:
        return Rotation.from_rotvec(self.axis * self.angle)


class RotationTrack:
    """A sensor's orientation over time: where it starts and the turns that follow, one at a
    time (each begins after the previous one ends)."""

    def __init__(self, initial: Rotation, turns: list[Turn]):
        self.turns = list(turns)
        held = [initial]
        for turn in self.turns:
            held.append(turn.rotation * held[-1])
        self.held = Rotation.concatenate(held)  # before each turn, and after the last

    @property
    def final(self) -> Rotation:
        return self.held[-1]

    def at(self, t: np.ndarray) -> tuple[Rotation, np.ndarray]:
        """The orientations at times t (s) and the world-frame angular velocities (rad/s)."""
        t = np.asarray(t, dtype=float)
        if not self.turns:
            return self.held[np.zeros(len(t), dtype=int)], np.zeros((len(t), 3))
        starts = np.array([turn.start_s for turn in self.turns])
        k = np.maximum(np.searchsorted(starts, t, side="right") - 1, 0)
        durations = np.array([turn.duration_s for turn in self.turns])[k]
        axes = np.array([turn.axis for turn in self.turns])[k]
        angles = np.array([turn.angle for turn in self.turns])[k]
        done, rate = smooth_step((t - starts[k]) / durations)
        turned = Rotation.from_rotvec(axes * (angles * done)[:, None])
        return turned * self.held[k], axes * (angles * rate / durations)[:, None]


@dataclass(frozen=True)
class Sway:
    """A hand that sways slowly: angles about the world's x and y axes, each a sum of three
    sinusoids with periods of 3 to 20 s, of up to `amplitude` (rad) together."""

    amplitude: float
    periods: np.ndarray  # 2 x 3: about x, about y
    phases: np.ndarray  # 2 x 3

    @classmethod
    def draw(cls, rng: np.random.Generator, amplitude: float) -> "Sway":
        periods, phases = [], []
        for _ in range(2):
            periods.append(rng.uniform(3, 20, 3))
            phases.append(rng.uniform(0, 2 * np.pi, 3))
        return cls(amplitude, np.array(periods), np.array(phases))

    def at(self, t: np.ndarray) -> tuple[Rotation, np.ndarray]:
        """The sway's rotations at times t and their world-frame angular velocities."""
        t = np.asarray(t, dtype=float)[:, None]
        angles, rates = [], []
        for periods, phases in zip(self.periods, self.phases, strict=True):
            w = 2 * np.pi / periods
            angles.append(self.amplitude / 3 * np.sin(w * t + phases).sum(axis=1))
            rates.append(self.amplitude / 3 * (w * np.cos(w * t + phases)).sum(axis=1))
        (about_x, about_y), (rate_x, rate_y) = angles, rates
        tilt_y = Rotation.from_rotvec(np.outer(-about_y, [0, 1, 0]))
        rotation = tilt_y * Rotation.from_rotvec(np.outer(-about_x, [1, 0, 0]))
        velocity = np.outer(-rate_y, [0, 1, 0]) + tilt_y.apply(np.outer(-rate_x, [1, 0, 0]))
        return rotation, velocity


def held_by(rotation: Rotation, velocity: np.ndarray, sway: Sway | None, t: np.ndarray):
    """Orientation and world angular velocity of `rotation` carried by the hand's sway."""
    if sway is None:
        return rotation, velocity
    swayed, sway_velocity = sway.at(t)
    return swayed * rotation, sway_velocity + swayed.apply(velocity)


def measured(
    orientation: Rotation, velocity: np.ndarray, linear: np.ndarray, gravity: bool = True
) -> tuple[np.ndarray, np.ndarray]:
    """Specific force (m/s²) and angular rate (rad/s) in the sensor's frame."""
    world = linear + (STANDARD_GRAVITY * UP if gravity else 0.0)
    return orientation.inv().apply(world), orientation.inv().apply(velocity)
