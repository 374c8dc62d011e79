"""Deterministic sensor streams for tests and benchmarks.

A stream is an (N, 6) float64 array sampled at 50 Hz: acceleration x, y, z, then velocity
x, y, z, one sample per row, oldest first.
"""

from typing import NamedTuple

import numpy as np

SAMPLE_RATE = 50
# Least mean speed of a stroke (m/s): its peak speed is 1.875 times that, and the peak of the
# 1.3 Hz low-pass speed then stays above 0.64, well over the 0.4 that segmentation requires.
MIN_MEAN_SPEED = 0.55
ACC_NOISE = 0.02
VEL_NOISE = 0.005
CROSS_AXIS_SHARE = 0.05
# (axis column, sign) -> the direction word that names a stroke.
DIRECTION_WORDS = {
    (0, 1): "right",
    (0, -1): "left",
    (1, 1): "forward",
    (1, -1): "backward",
    (2, 1): "up",
    (2, -1): "down",
}


class Stroke(NamedTuple):
    """Ground truth of one stroke: its first and last sample row, axis column, sign, distance."""

    start: int
    end: int
    axis: int
    sign: int
    distance: float

    @property
    def label(self):
        return DIRECTION_WORDS[self.axis, self.sign]


def random_stream(n, seed, scale=1.0):
    """Gaussian noise of standard deviation `scale` in all six channels."""
    return np.random.default_rng(seed).normal(0.0, scale, size=(n, 6))


def min_jerk_profile(distance, samples):
    """Velocity and acceleration of a minimum-jerk move over `samples` intervals of 1/50 s.

    Both are zero at the first and last of the samples + 1 points.
    """
    duration = samples / SAMPLE_RATE
    tau = np.arange(samples + 1) / samples
    velocity = distance / duration * (30 * tau**2 - 60 * tau**3 + 30 * tau**4)
    acceleration = distance / duration**2 * (60 * tau - 180 * tau**2 + 120 * tau**3)
    return velocity, acceleration


def gesture_stream(n_gestures, seed, axis=None):
    """Rests of 1.2 to 2.5 s around `n_gestures` minimum-jerk strokes of 0.3 to 0.9 s.

    Each stroke moves along one axis (`axis`: column 0, 1 or 2; drawn per stroke when None), in
    either direction, over 0.15 to 0.5 m but at a mean speed of at least `MIN_MEAN_SPEED`, with a
    small move along the other two axes and Gaussian noise on every channel. Returns
    `(samples, strokes)`: the (N, 6) stream and one `Stroke` per stroke, in order.
    """
    rng = np.random.default_rng(seed)
    rests = rng.integers(60, 126, size=n_gestures + 1)
    pieces, strokes, row = [np.zeros((rests[0], 6))], [], int(rests[0])
    for rest in rests[1:]:
        samples = int(rng.integers(15, 46))
        duration = samples / SAMPLE_RATE
        distance = rng.uniform(max(0.15, MIN_MEAN_SPEED * duration), 0.5)
        stroke_axis = int(rng.integers(3)) if axis is None else axis
        sign = int(rng.choice((-1, 1)))
        motion = np.zeros((samples + 1, 6))
        for column in range(3):
            if column == stroke_axis:
                move = sign * distance
            else:
                move = rng.uniform(-CROSS_AXIS_SHARE, CROSS_AXIS_SHARE) * distance
            motion[:, 3 + column], motion[:, column] = min_jerk_profile(move, samples)
        pieces += [motion, np.zeros((rest, 6))]
        strokes.append(Stroke(row, row + samples, stroke_axis, sign, float(distance)))
        row += samples + 1 + int(rest)
    stream = np.concatenate(pieces)
    noise_scale = np.array([ACC_NOISE] * 3 + [VEL_NOISE] * 3)
    return stream + rng.normal(0.0, 1.0, size=stream.shape) * noise_scale, strokes
