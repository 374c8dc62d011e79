"""Sensor samples made into the engine's 50 Hz rows: column mapping, units, resampling, velocity.

The same code conditions a whole file (`velmorakit import`) and a live source sample by
sample, so that a model learns from exactly the rows it will be shown live. Each stage is
causal and streaming: `Conditioner.push` takes one sensor sample and returns the rows that
sample completes.
"""

import math
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np
from scipy import signal

from .errors import WorkbenchError

STANDARD_GRAVITY = 9.80665  # m/s² per g
ENGINE_RATE_HZ = 50.0

# The corner of the high-pass filter that follows the velocity integral. Measured on
# simulated 100 Hz sensors (tools/compare_velocity_estimators.py): strokes of 0.3 to 0.9 s
# keep their shape (gain 0.84 at 1 Hz, 0.96 at 2 Hz), while gravity turned into x and y by
# a hand tilting slowly by 10 to 20 degrees is rejected; 0.5 Hz lets those tilts through,
# 1 Hz cuts into the strokes.
CUTOFF_HZ = 0.6
ORDER = 3


class VelocityEstimator:
    """Causal, drift-free velocity from acceleration: the trapezoidal integral followed by a
    Butterworth high-pass filter of `order` at `cutoff_hz`.

    The integrator's pole cancels one zero of the high-pass filter, so the two make one
    bounded filter per axis, v = lfilter(b, a, acc) with a the high-pass design's and
    b = dt/2 * b0 * (1 - z^-1)^(order-1) * (1 + z^-1). Its gain at 0 Hz is zero: gravity
    and a constant sensor offset give no velocity, a slowly changing one (a tilting hand)
    very little, and the velocity never drifts away. The filter starts at rest on the first
    sample, which is subtracted from all that follow, so that a sensor that feels gravity
    does not start with a jolt. `step` uses SciPy's operation order (transposed direct
    form II).
    """

    def __init__(self, rate_hz: float = ENGINE_RATE_HZ, cutoff_hz: float = CUTOFF_HZ,
                 order: int = ORDER):
        if not rate_hz > 0 or not 0 < cutoff_hz < rate_hz / 2 or order < 1:
            raise WorkbenchError("the cutoff must lie between 0 and half the rate, order >= 1")
        self.rate_hz = float(rate_hz)
        high_b, high_a = signal.butter(order, cutoff_hz / (rate_hz / 2), "highpass")
        numerator = np.polymul(np.poly(np.ones(order - 1)), [1.0, 1.0])
        self.b = tuple(float(c) for c in 0.5 / self.rate_hz * high_b[0] * numerator)
        self.a = tuple(float(c) for c in high_a[1:])
        self.reset()

    def reset(self) -> None:
        """Back to rest: the next sample is taken as the acceleration at rest."""
        self._rest = None
        self._state = [[0.0] * len(self.a) for _ in range(3)]

    def step(self, ax: float, ay: float, az: float) -> tuple[float, float, float]:
        acc = (float(ax), float(ay), float(az))
        if self._rest is None:
            self._rest = acc
        b, a = self.b, self.a
        last = len(a) - 1
        out = []
        for x, rest, z in zip(acc, self._rest, self._state, strict=True):
            x = x - rest
            y = z[0] + b[0] * x
            for k in range(last):
                z[k] = (z[k + 1] + x * b[k + 1]) - y * a[k]
            z[last] = x * b[last + 1] - y * a[last]
            out.append(y)
        return (out[0], out[1], out[2])

    def run(self, acc: np.ndarray) -> np.ndarray:
        """`step` over every row of an n x 3 array, continuing from the current state."""
        acc = np.asarray(acc, dtype=float).reshape(-1, 3)
        out = np.empty_like(acc)
        for n, (ax, ay, az) in enumerate(acc.tolist()):
            out[n] = self.step(ax, ay, az)
        return out


class Row(NamedTuple):
    """One row on the output grid: its time (s), values and the tag of the nearer input."""

    t: float
    values: tuple[float, ...]
    tag: object = None


# Grid and sample times this close are the same instant: 0.1 + 1/50 must meet a sample at 0.12.
TIME_EPSILON_S = 1e-9


class Resampler:
    """Streaming linear interpolation of time-stamped samples onto an exact grid.

    Grid times are start + k / rate, computed from k rather than summed, so they never drift.
    A time stamp that repeats or goes back is dropped (`dropped`); a step forward longer than
    `gap_s`, or back by more than `gap_s` (a clock that restarts), starts a new grid at that
    sample (`gaps`) instead of bridging the hole with invented rows.
    """

    def __init__(self, rate_hz: float = ENGINE_RATE_HZ, gap_s: float = 0.2):
        if not rate_hz > 0 or not gap_s > 0:
            raise WorkbenchError("rate and gap limit must be positive")
        self.rate_hz = float(rate_hz)
        self.gap_s = float(gap_s)
        self.read = self.emitted = self.dropped = self.gaps = 0
        self._previous = None  # (t, values, tag) of the last accepted sample
        self._start = 0.0
        self._next = 0  # index of the next grid point

    def restart(self) -> None:
        """Start a new grid at the next sample (a new take, a new session)."""
        self._previous = None

    def push(self, t: float, values, tag=None) -> list[Row]:
        self.read += 1
        t = float(t)
        values = tuple(map(float, values))
        previous = self._previous
        if previous is not None and not previous[0] < t:
            if previous[0] - t <= self.gap_s:
                self.dropped += 1
                return []
            previous = None
            self.gaps += 1
        elif previous is not None and t - previous[0] > self.gap_s:
            previous = None
            self.gaps += 1
        self._previous = (t, values, tag)
        if previous is None:
            self._start, self._next = t, 1
            self.emitted += 1
            return [Row(t, values, tag)]
        t0, v0, tag0 = previous
        rows = []
        while (grid := self._start + self._next / self.rate_hz) <= t + TIME_EPSILON_S:
            if grid >= t:
                row = Row(grid, values, tag)
            else:
                w = (grid - t0) / (t - t0)
                mixed = tuple(a + w * (b - a) for a, b in zip(v0, values, strict=True))
                row = Row(grid, mixed, tag if w >= 0.5 else tag0)
            rows.append(row)
            self._next += 1
        self.emitted += len(rows)
        return rows


ROLES = ("t", "ax", "ay", "az", "vx", "vy", "vz", "label", "group")
ACC_ROLES = ("ax", "ay", "az")
VEL_ROLES = ("vx", "vy", "vz")


@dataclass
class ColumnMap:
    """Which input column plays which role: time, acceleration, velocity, label, group.

    A group column (e.g. a take number) starts a new grid and a new velocity estimate
    wherever its value changes.
    """

    names: dict[str, str] = field(default_factory=dict)

    @classmethod
    def parse(cls, text: str) -> "ColumnMap":
        """'t=timestamp,ax=acc_x,ay=acc_y,az=acc_z[,vx=..,vy=..,vz=..][,label=..][,group=..]'"""
        names = {}
        for item in filter(None, (part.strip() for part in text.split(","))):
            role, sep, column = (s.strip() for s in item.partition("="))
            role = role.lower()
            if not sep or not column:
                raise WorkbenchError(f"column mapping {item!r} is not ROLE=COLUMN")
            if role not in ROLES:
                raise WorkbenchError(f"unknown role {role!r} in {item!r} (roles: {', '.join(ROLES)})")
            if role in names:
                raise WorkbenchError(f"role {role!r} is given twice")
            names[role] = column
        mapping = cls(names)
        mapping.check()
        return mapping

    @classmethod
    def default(cls, header: list[str]) -> "ColumnMap":
        """The roles found by their own names in a header: t (or time, timestamp), ax, ..."""
        lowered = [h.strip().lower() for h in header]
        names = {role: role for role in ROLES if role in lowered and role != "t"}
        for alias in ("t", "time", "timestamp", "t_s", "t_ms", "time_ms"):
            if alias in lowered:
                names["t"] = alias
                break
        mapping = cls(names)
        mapping.check()
        return mapping

    def check(self) -> None:
        missing = [r for r in ACC_ROLES if r not in self.names]
        velocity = [r for r in VEL_ROLES if r in self.names]
        if missing:
            raise WorkbenchError(f"the columns of {', '.join(missing)} are not given")
        if velocity and len(velocity) != 3:
            raise WorkbenchError("give all three velocity columns (vx, vy, vz) or none")

    @property
    def has_velocity(self) -> bool:
        return "vx" in self.names

    @property
    def has_time(self) -> bool:
        return "t" in self.names

    def locate(self, header: list[str]) -> dict[str, int]:
        """Each role's column index in `header`, matched case-insensitively."""
        lowered = [h.strip().lower() for h in header]
        found, missing = {}, []
        for role, name in self.names.items():
            if name.strip().lower() in lowered:
                found[role] = lowered.index(name.strip().lower())
            else:
                missing.append(name)
        if missing:
            raise WorkbenchError(
                f"column(s) {', '.join(missing)} not in the header ({', '.join(header)})"
            )
        return found


TIME_SCALES = {"s": 1.0, "ms": 1e-3}
UNIT_SCALES = {"m/s2": 1.0, "g": STANDARD_GRAVITY}


class Conditioner:
    """Sensor samples in, engine rows out: [ax, ay, az, vx, vy, vz] in m/s² and m/s at 50 Hz.

    Per sample: acceleration scaled to m/s² (`units`), the sample placed on the 50 Hz grid by
    linear interpolation over its time stamp (`time_unit` s or ms), and, without velocity
    columns, the velocity estimated from the resampled acceleration. Without time stamps
    give `input_rate_hz`; the samples are then taken as evenly spaced. A sample that is
    malformed or not finite is dropped and counted (`malformed`): interpolating towards it
    or integrating it would spoil the rows around it and, for the velocity, all rows after it.
    """

    def __init__(self, has_velocity: bool = False, units: str = "m/s2",
                 time_unit: str | None = "s", input_rate_hz: float | None = None,
                 gap_s: float = 0.2, estimator: VelocityEstimator | None = None):
        if units not in UNIT_SCALES:
            raise WorkbenchError(f"unknown units {units!r} (use {' or '.join(UNIT_SCALES)})")
        if time_unit is not None and time_unit not in TIME_SCALES:
            raise WorkbenchError(f"unknown time unit {time_unit!r} (use s or ms)")
        if time_unit is None and not (input_rate_hz and input_rate_hz > 0):
            raise WorkbenchError("samples without time stamps need their rate")
        self.has_velocity = has_velocity
        self.acc_scale = UNIT_SCALES[units]
        self.time_scale = TIME_SCALES[time_unit] if time_unit else None
        self.input_rate_hz = input_rate_hz
        self.resampler = Resampler(ENGINE_RATE_HZ, gap_s)
        self.estimator = None if has_velocity else (estimator or VelocityEstimator())
        self.read = self.malformed = 0

    def restart(self) -> None:
        """A new take: a new grid and a velocity estimate from rest."""
        self.resampler.restart()
        if self.estimator is not None:
            self.estimator.reset()

    def push(self, t, acc, vel=None, tag=None) -> list[Row]:
        """One sensor sample; the finished engine rows (6 values each), possibly none."""
        self.read += 1
        try:
            values = [float(a) * self.acc_scale for a in acc]
            if self.has_velocity:
                values += [float(v) for v in vel]
            if len(values) != (6 if self.has_velocity else 3):
                raise ValueError("wrong number of values")
            if self.time_scale is None:
                seconds = (self.read - 1) / self.input_rate_hz
            else:
                seconds = float(t) * self.time_scale
        except (TypeError, ValueError):
            self.malformed += 1
            return []
        if not all(map(math.isfinite, values)) or not math.isfinite(seconds):
            self.malformed += 1
            return []
        gaps = self.resampler.gaps
        rows = self.resampler.push(seconds, values, tag)
        if self.resampler.gaps != gaps and self.estimator is not None:
            self.estimator.reset()
        if self.estimator is None:
            return rows
        return [Row(r.t, r.values + self.estimator.step(*r.values), r.tag) for r in rows]

    @property
    def counts(self) -> dict[str, int]:
        return {
            "read": self.read,
            "malformed": self.malformed,
            "out_of_order": self.resampler.dropped,
            "gaps": self.resampler.gaps,
            "emitted": self.resampler.emitted,
        }
