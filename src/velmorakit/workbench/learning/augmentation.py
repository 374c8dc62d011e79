"""More training segments from those recorded: the same motions with the sensor held turned.

A segment vector holds 50 resampled rows of acceleration (x, y, z) and velocity (x, y, z),
stored channel by channel. The filters, the resampling and the velocity estimate treat the
three axes alike and segmentation reads only the speed, so a sensor held turned by R gives
the vector of the same motion with every acceleration and velocity turned by R: gravity and
the stroke turn together. Training on such copies teaches the classifier the hand's
orientations that the recordings did not happen to cover.
"""

from dataclasses import dataclass

import numpy as np
from scipy.spatial.transform import Rotation

from ...models.model_pair import FEATURES

CHANNELS = 6  # acceleration x, y, z, then velocity x, y, z


@dataclass(frozen=True)
class Rotations:
    """`copies` turned copies of every training segment, each about a random axis by an
    angle drawn up to `max_deg`; reproducible by `seed`."""

    copies: int = 2
    max_deg: float = 30.0
    seed: int = 0

    def __post_init__(self):
        if self.copies < 0 or not 0 <= self.max_deg <= 180:
            raise ValueError("copies must be 0 or more and max_deg within 0 to 180")

    def describe(self) -> str:
        if not self.copies:
            return "none"
        return f"{self.copies} copies turned by up to {self.max_deg:g} degrees"

    def apply(self, x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The segments `x` (n x 300) with their labels `y`, followed by the turned copies."""
        if not self.copies or not len(x):
            return x, y
        rng = np.random.default_rng(self.seed)
        parts = [x]
        for _ in range(self.copies):
            axes = rng.normal(size=(len(x), 3))
            axes /= np.linalg.norm(axes, axis=1, keepdims=True)
            angles = np.radians(rng.uniform(0.0, self.max_deg, len(x)))
            parts.append(turned(x, Rotation.from_rotvec(axes * angles[:, None]).as_matrix()))
        return np.concatenate(parts), np.tile(y, self.copies + 1)


def turned(x: np.ndarray, matrices: np.ndarray) -> np.ndarray:
    """Segment vectors `x` (n x 300) with the acceleration and velocity of each turned by its
    rotation matrix (n x 3 x 3, or one 3 x 3 for all)."""
    rows = np.asarray(x, dtype=float).reshape(len(x), CHANNELS, FEATURES // CHANNELS)
    matrices = np.broadcast_to(matrices, (len(x), 3, 3))
    acc = np.einsum("nij,njk->nik", matrices, rows[:, :3])
    vel = np.einsum("nij,njk->nik", matrices, rows[:, 3:])
    return np.concatenate([acc, vel], axis=1).reshape(len(x), FEATURES)
