"""Simulated sessions written as a hand-held sensor writes them: time stamps at the sensor's
own, jittering rate, acceleration (optionally in g, with gravity), and optionally the
gyroscope, a take column and the spans where the hand turned the sensor.

`sensor_session` gives the same session as `simulate_session` makes for the seed, so the two
files of one seed hold the same gestures: one as the engine's rows, one as a sensor records
them. `handheld.py` adds what a hand does to a sensor.
"""

import csv
import math
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np

from ...conditioning import DT, SAMPLE_RATE, STANDARD_GRAVITY
from ..outputs import replacing
from .orientation import Sway, measured
from .synthetic import GestureEvent, SimulationSettings, simulate_session

GYRO_SCALES = {"rad/s": 1.0, "deg/s": 180.0 / math.pi}
TURN_COLUMNS = ("start", "end", "start_s", "end_s", "angle_deg")


@dataclass
class SensorSession:
    """Samples as a sensor records them, in its own frame."""

    t: np.ndarray  # time stamps, s; each take starts its own clock near 0
    acc: np.ndarray  # n x 3 specific force, m/s²
    labels: np.ndarray  # n labels, "" where no gesture is made
    gyro: np.ndarray | None = None  # n x 3 angular rate, rad/s
    takes: np.ndarray | None = None  # the take of each sample; None: one continuous session
    turns: list[tuple[float, float, float]] = field(default_factory=list)  # start_s, end_s, deg
    events: list[GestureEvent] = field(default_factory=list)  # rows of the 50 Hz session


def sample_times(rng: np.random.Generator, duration_s: float, rate_hz: float, jitter: float):
    """Sample n taken at (n + u) / rate_hz, u uniform in [-jitter / 2, jitter / 2], within
    [0, duration_s]."""
    if not 0 <= jitter < 1:
        raise ValueError("jitter is a fraction of the sample period, below 1")
    n = int(duration_s * rate_hz) + 1
    t = (np.arange(n) + rng.uniform(-jitter / 2, jitter / 2, n)) / rate_hz
    return np.clip(t, 0.0, duration_s)


def sensor_session(
    seconds: float,
    seed: int,
    rate_hz: float = 100.0,
    jitter: float = 0.1,
    gravity: bool = False,
    tilt_deg: float = 0.0,
    settings: SimulationSettings | None = None,
):
    """Time stamps (s), acceleration (n x 3, m/s²), labels and gestures of a simulated sensor.

    The noise-free acceleration of the 50 Hz session is interpolated linearly to the sample
    times (a minimum-jerk stroke spans 15 or more samples, so this is close to the
    continuous stroke), then the sensor's own noise is added. With `gravity` the sensor also
    feels 1 g, along z when level; `tilt_deg` lets the hand tilt slowly about x and y by up
    to about that angle, which turns part of gravity into x and y.
    """
    cfg = settings or SimulationSettings()
    clean = simulate_session(seconds, seed, replace(cfg, acc_noise_m_s2=0.0, vel_noise_m_s=0.0))
    rng = np.random.default_rng([seed, 1])
    grid = np.arange(len(clean.samples)) * DT
    t = sample_times(rng, grid[-1], rate_hz, jitter)
    acc = np.column_stack([np.interp(t, grid, clean.samples[:, i]) for i in range(3)])
    acc += rng.normal(0, cfg.acc_noise_m_s2, acc.shape)
    if gravity:
        sway = Sway.draw(rng, np.radians(tilt_deg))
        acc += measured(*sway.at(t), np.zeros_like(acc))[0]
    labels = clean.labels[np.minimum(np.rint(t / DT).astype(int), len(grid) - 1)]
    return t, acc, labels, clean.events


def write_sensor_file(
    path: str | Path,
    t: np.ndarray,
    acc: np.ndarray,
    labels: np.ndarray,
    time_unit: str = "ms",
    units: str = "m/s2",
    gyro: np.ndarray | None = None,
    gyro_units: str = "rad/s",
    takes: np.ndarray | None = None,
) -> None:
    """Columns t_ms (whole milliseconds) or t_s, ax, ay, az, [gx, gy, gz,] label[, take]."""
    scale = 1.0 / STANDARD_GRAVITY if units == "g" else 1.0
    columns = [acc * scale]
    header = [f"t_{time_unit}", "ax", "ay", "az"]
    if gyro is not None:
        columns.append(gyro * GYRO_SCALES[gyro_units])
        header += ["gx", "gy", "gz"]
    values = np.hstack(columns)
    tail = [labels] if takes is None else [labels, takes]
    with replacing(path) as (temp,), temp.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(header + ["label"] + ([] if takes is None else ["take"]))
        for ti, row, *rest in zip(t, values, *tail, strict=True):
            stamp = f"{round(ti * 1000)}" if time_unit == "ms" else f"{ti:.6f}"
            writer.writerow([stamp, *(f"{v:.5f}" for v in row), *rest])


def turns_path(path: str | Path) -> Path:
    path = Path(path)
    return path.with_name(path.stem + ".turns.csv")


def write_session(
    path: str | Path,
    session: SensorSession,
    time_unit: str = "ms",
    units: str = "m/s2",
    gyro_units: str | None = "rad/s",
) -> None:
    """The sensor file (gyroscope columns unless `gyro_units` is None) and, for a continuous
    session in which the hand turned the sensor, the turns beside it in `*.turns.csv`."""
    write_sensor_file(
        path,
        session.t,
        session.acc,
        session.labels,
        time_unit,
        units,
        gyro=session.gyro if gyro_units else None,
        gyro_units=gyro_units or "rad/s",
        takes=session.takes,
    )
    write_turns(turns_path(path), session)


def write_turns(path: str | Path, session: SensorSession) -> None:
    """One line per turn: `start` and `end` (the row after its last) in the 50 Hz recording
    that `velmorakit import` makes of the session, `start_s` and `end_s` on the file's clock,
    and the angle turned. Without turns, a file left from an earlier session is removed."""
    path = Path(path)
    if not session.turns or session.takes is not None:
        path.unlink(missing_ok=True)
        return
    origin = session.t[0]
    with replacing(path) as (temp,), temp.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(TURN_COLUMNS)
        for start_s, end_s, degrees in session.turns:
            first = math.ceil((start_s - origin) * SAMPLE_RATE - 1e-9)
            last = math.floor((end_s - origin) * SAMPLE_RATE + 1e-9)
            writer.writerow([first, last + 1, f"{start_s:.3f}", f"{end_s:.3f}", f"{degrees:.1f}"])
