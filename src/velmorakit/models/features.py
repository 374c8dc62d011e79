"""Features derived from a segment's 300 values, as a step of a pickled classifier pipeline.

The engine hands the classifier one vector: 50 points of each channel (acceleration x, y, z,
velocity x, y, z). Two strokes of one gesture differ most in size and speed, which a
classifier of the raw values has to learn from examples; the shape and the direction do not.
`SegmentFeatures` adds what makes those plain: each channel scaled by the segment's peak
speed (or peak acceleration), the speed and acceleration magnitudes, the direction of the
mean velocity, per-channel statistics and how much each channel swings back and forth (its
reversals, and its path length over its range: many for a shake, few for a stroke or a turn
of the sensor). It learns nothing when fitted, so the pipeline that holds it pickles as one
estimator, and it lives here in the runtime so that a device without the workbench can load
it.

With `upright`, the raw channels are first turned into a frame whose third axis points up: a
hand-held sensor feels gravity, and over a gesture that starts and ends nearly at rest the
mean acceleration is gravity, so the turn that brings it onto the third axis undoes how the
hand tilted the sensor, and the same stroke looks alike however the sensor was held (only
the turn about the vertical stays). Gravity is then taken out of the acceleration, and the
direction it had in the sensor's axes is kept as three features of its own.
"""

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin

POINTS = 50
CHANNELS = 6
TINY = 1e-9
# A mean acceleration shorter than this (m/s², half of 1 g) holds no gravity: a sensor whose
# acceleration has gravity taken out, whose segments are left in the sensor's axes.
GRAVITY_PRESENT_M_S2 = 4.9


class SegmentFeatures(TransformerMixin, BaseEstimator):
    """n x 300 segment vectors in; their 300 values (or, `upright`, the 300 turned upright and
    the direction of gravity) and the derived features out."""

    # Pipelines pickled before the swing features existed restore without this attribute and
    # keep the features their classifier was fitted on; new ones have them.
    oscillation = False
    upright = False

    def __init__(self, oscillation: bool = True, upright: bool = False):
        self.oscillation = oscillation
        self.upright = upright

    def fit(self, x, y=None):
        self.n_features_in_ = np.asarray(x).shape[1]
        return self

    def transform(self, x) -> np.ndarray:
        x = np.asarray(x, dtype=float).reshape(len(x), CHANNELS, POINTS)
        acc, vel = x[:, :3], x[:, 3:]
        speed = np.sqrt((vel * vel).sum(axis=1))  # n x 50
        force = np.sqrt((acc * acc).sum(axis=1))
        peak_speed = speed.max(axis=1)[:, None, None] + TINY
        peak_force = force.max(axis=1)[:, None, None] + TINY
        mean_vel = vel.mean(axis=2)
        direction = mean_vel / (np.linalg.norm(mean_vel, axis=1, keepdims=True) + TINY)
        stats = np.concatenate(
            [x.mean(axis=2), x.std(axis=2), x.min(axis=2), x.max(axis=2)], axis=1
        )
        where = np.concatenate([x.argmin(axis=2), x.argmax(axis=2)], axis=1) / (POINTS - 1)
        parts = [
            *(_upright(acc, vel) if self.upright else [x.reshape(len(x), -1)]),
            (acc / peak_force).reshape(len(x), -1),
            (vel / peak_speed).reshape(len(x), -1),
            speed / peak_speed[:, 0],
            force / peak_force[:, 0],
            direction,
            stats,
            where,
            np.log(peak_speed[:, 0] * peak_force[:, 0]),
        ]
        if self.oscillation:
            steps = np.diff(x, axis=2)
            parts.append((np.diff(np.sign(steps), axis=2) != 0).sum(axis=2) / POINTS)
            parts.append(np.abs(steps).sum(axis=2) / (np.ptp(x, axis=2) + TINY))
        return np.concatenate(parts, axis=1)


def _upright(acc: np.ndarray, vel: np.ndarray) -> list[np.ndarray]:
    """The n segments' acceleration (gravity taken out) and velocity (n x 3 x 50 each) turned
    so that their mean acceleration points along the third axis, flattened, and that mean's
    direction in the sensor's axes (n x 3)."""
    gravity = acc.mean(axis=2)
    length = np.linalg.norm(gravity, axis=1, keepdims=True)
    up = np.where(length > GRAVITY_PRESENT_M_S2, gravity / np.maximum(length, TINY), [0, 0, 1])
    # The shortest turn taking `up` onto the third axis (Rodrigues' formula about up x e3);
    # a sensor held upside down, where that axis is undefined, is turned about its first axis.
    axis = np.stack([up[:, 1], -up[:, 0], np.zeros(len(up))], axis=1)
    cos = up[:, 2]
    cross = np.zeros((len(up), 3, 3))
    cross[:, 0, 2], cross[:, 1, 2] = axis[:, 1], -axis[:, 0]
    cross[:, 2, 0], cross[:, 2, 1] = -axis[:, 1], axis[:, 0]
    flipped = cos < -1 + 1e-6
    turn = np.eye(3) + cross + cross @ cross / np.where(flipped, 1.0, 1.0 + cos)[:, None, None]
    turn[flipped] = np.diag([1.0, -1.0, -1.0])
    free = np.einsum("nij,njk->nik", turn, acc - gravity[:, :, None])
    moved = np.einsum("nij,njk->nik", turn, vel)
    return [free.reshape(len(acc), -1), moved.reshape(len(acc), -1), up]
