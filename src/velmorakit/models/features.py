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
"""

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin

POINTS = 50
CHANNELS = 6
TINY = 1e-9


class SegmentFeatures(TransformerMixin, BaseEstimator):
    """n x 300 segment vectors in, n x 300 plus derived features out."""

    # Pipelines pickled before the swing features existed restore without this attribute and
    # keep the features their classifier was fitted on; new ones have them.
    oscillation = False

    def __init__(self, oscillation: bool = True):
        self.oscillation = oscillation

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
            x.reshape(len(x), -1),
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
