"""Takes recorded one gesture at a time, joined into one continuous session as if the hand had
turned the sensor from each take's last orientation to the next take's first in between.

Only gravity tells the orientation at rest, so a turn rotates the gravity direction that the
previous take ends with into the one the next take starts with, the shortest way, by slerp
with a minimum-jerk profile; the gyroscope reads that rotation. The turn's samples follow the
takes' own rate and jitter and carry their rest noise; they are unlabelled, and their spans
are the session's `turns`.
"""

from dataclasses import dataclass

import numpy as np
from scipy.spatial.transform import Rotation

from .orientation import smooth_step
from .sensor import SensorSession

REST_S = 0.25  # how much of a take's start and end is taken as its rest
LONGEST_STEP_S = 0.1  # the longest sample interval copied from the takes into a turn


@dataclass
class Take:
    t: np.ndarray  # s from the take's start
    acc: np.ndarray  # n x 3 specific force (gravity included), m/s²
    gyro: np.ndarray  # n x 3 angular rate, rad/s
    label: str


def rest_noise(takes: list[Take]) -> tuple[np.ndarray, np.ndarray]:
    """Per axis, the median over the takes' first and last REST_S of the standard deviation
    of the acceleration and of the angular rate."""
    spreads = []
    for take in takes:
        for rest in (take.t <= take.t[0] + REST_S, take.t >= take.t[-1] - REST_S):
            spreads.append(np.hstack([take.acc[rest].std(axis=0), take.gyro[rest].std(axis=0)]))
    median = np.median(spreads, axis=0)
    return median[:3], median[3:]


def turn_between(before: Take, after: Take, t: np.ndarray, start_s: float, duration_s: float):
    """Specific force and angular rate at times t of a sensor that turns from the gravity
    `before` ends with to the gravity `after` starts with, over [start_s, start_s +
    duration_s]; and the angle turned (rad)."""
    first = before.acc[before.t >= before.t[-1] - REST_S].mean(axis=0)
    last = after.acc[after.t <= after.t[0] + REST_S].mean(axis=0)
    axis = np.cross(first, last)
    angle = np.arctan2(np.linalg.norm(axis), first @ last)
    if np.linalg.norm(axis) < 1e-9:
        axis = np.cross(first, [1.0, 0.0, 0.0] if abs(first[0]) < 0.9 else [0.0, 1.0, 0.0])
    axis /= np.linalg.norm(axis)
    done, rate = smooth_step((t - start_s) / duration_s)
    size = np.linalg.norm(first) + done * (np.linalg.norm(last) - np.linalg.norm(first))
    direction = Rotation.from_rotvec(np.outer(angle * done, axis)).apply(first)
    acc = direction / np.linalg.norm(first) * size[:, None]
    # Gravity seen from the sensor turns about `axis` as the sensor turns about -axis.
    gyro = -np.outer(angle * rate / duration_s, axis)
    return acc, gyro, angle


def join_takes(
    takes: list[Take], rng: np.random.Generator, turn_s: tuple[float, float] = (0.8, 1.6)
) -> SensorSession:
    """The takes in the order given, a turn of a duration drawn from `turn_s` between each
    two, on one clock from 0."""
    acc_noise, gyro_noise = rest_noise(takes)
    parts, turns = [], []
    offset = 0.0
    for i, take in enumerate(takes):
        t = take.t - take.t[0] + offset
        parts.append((t, take.acc, take.gyro, np.full(len(t), take.label, dtype=object)))
        if i + 1 == len(takes):
            break
        steps = np.diff(take.t)
        steps = steps[(steps > 0) & (steps <= LONGEST_STEP_S)]
        start, duration = t[-1], rng.uniform(*turn_s)
        stamps = [start + _step(rng, steps)]
        while stamps[-1] < start + duration:
            stamps.append(stamps[-1] + _step(rng, steps))
        turn_t = np.array(stamps[:-1])
        acc, gyro, angle = turn_between(take, takes[i + 1], turn_t, start, duration)
        acc += rng.normal(0, 1, acc.shape) * acc_noise
        gyro += rng.normal(0, 1, gyro.shape) * gyro_noise
        parts.append((turn_t, acc, gyro, np.full(len(turn_t), "", dtype=object)))
        turns.append((start, start + duration, float(np.degrees(angle))))
        offset = stamps[-1]
    t, acc, gyro, labels = (np.concatenate(column) for column in zip(*parts, strict=True))
    return SensorSession(t, acc, labels, gyro, None, turns)


def _step(rng: np.random.Generator, steps: np.ndarray) -> float:
    """A sample interval as the take shows them."""
    return float(rng.choice(steps)) if len(steps) else LONGEST_STEP_S
