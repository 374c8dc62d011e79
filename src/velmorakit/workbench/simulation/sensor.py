"""Simulated sessions written as a hand-held sensor writes them: time stamps at the sensor's
own, jittering rate, acceleration only, optionally in g and with gravity.

The session is the same as `simulate_session` makes for the seed, so the two files of one
seed hold the same gestures: one as the engine's rows, one as a sensor records them.
"""

import csv
from dataclasses import replace
from pathlib import Path

import numpy as np

from ...conditioning import DT, STANDARD_GRAVITY
from ..outputs import replacing
from .synthetic import SimulationSettings, simulate_session


def sensor_session(
    seconds: float,
    seed: int,
    rate_hz: float = 100.0,
    jitter: float = 0.1,
    gravity: bool = False,
    tilt_deg: float = 0.0,
    settings: SimulationSettings | None = None,
):
    """Time stamps (s), acceleration (n x 3, m/s²) and labels of a simulated sensor.

    Sample n is taken at (n + u) / rate_hz, u uniform in [-jitter / 2, jitter / 2], and the
    time stamp says when. The noise-free acceleration of the 50 Hz session is interpolated
    linearly to those instants (a minimum-jerk stroke spans 15 or more samples, so this is
    close to the continuous stroke), then the sensor's own noise is added. With `gravity`
    the sensor also feels 1 g, along z when level; `tilt_deg` lets the hand tilt slowly
    about x and y by up to about that angle, which turns part of gravity into x and y.
    """
    if not 0 <= jitter < 1:
        raise ValueError("jitter is a fraction of the sample period, below 1")
    cfg = settings or SimulationSettings()
    clean = simulate_session(seconds, seed, replace(cfg, acc_noise_m_s2=0.0, vel_noise_m_s=0.0))
    rng = np.random.default_rng([seed, 1])
    grid = np.arange(len(clean.samples)) * DT
    n = int(grid[-1] * rate_hz) + 1
    t = (np.arange(n) + rng.uniform(-jitter / 2, jitter / 2, n)) / rate_hz
    t = np.clip(t, 0.0, grid[-1])
    acc = np.column_stack([np.interp(t, grid, clean.samples[:, i]) for i in range(3)])
    acc += rng.normal(0, cfg.acc_noise_m_s2, acc.shape)
    if gravity:
        acc += _gravity(t, np.radians(tilt_deg), rng)
    labels = clean.labels[np.minimum(np.rint(t / DT).astype(int), len(grid) - 1)]
    return t, acc, labels, clean.events


def write_sensor_file(
    path: str | Path,
    t: np.ndarray,
    acc: np.ndarray,
    labels: np.ndarray,
    time_unit: str = "ms",
    units: str = "m/s2",
) -> None:
    """Columns t_ms (whole milliseconds) or t_s, ax, ay, az, label."""
    scale = 1.0 / STANDARD_GRAVITY if units == "g" else 1.0
    with replacing(path) as (temp,), temp.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow([f"t_{time_unit}", "ax", "ay", "az", "label"])
        for ti, row, label in zip(t, acc * scale, labels, strict=True):
            stamp = f"{round(ti * 1000)}" if time_unit == "ms" else f"{ti:.6f}"
            writer.writerow([stamp, *(f"{v:.5f}" for v in row), label])


def _gravity(t: np.ndarray, tilt: float, rng: np.random.Generator) -> np.ndarray:
    """Gravity in the frame of a hand that tilts slowly: each tilt angle is a sum of three
    sinusoids with periods of 3 to 20 s."""
    angles = []
    for _ in range(2):
        periods = rng.uniform(3, 20, 3)
        phases = rng.uniform(0, 2 * np.pi, 3)
        angles.append(tilt / 3 * np.sin(2 * np.pi * t[:, None] / periods + phases).sum(axis=1))
    about_x, about_y = angles
    return STANDARD_GRAVITY * np.column_stack(
        [np.sin(about_y), -np.sin(about_x) * np.cos(about_y), np.cos(about_x) * np.cos(about_y)]
    )
