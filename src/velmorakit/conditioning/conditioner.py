"""Sensor samples in, engine rows out: units, the 50 Hz grid and, without velocity columns, the
velocity estimate."""

import math

from ..errors import InputError
from .gravity import GYRO_SCALES, STANDARD_GRAVITY, GravityRemover, orientation_filter_missing
from .rate import SAMPLE_RATE
from .resampling import Resampler, Row
from .velocity import VelocityEstimator

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

    With a gyroscope (`has_gyro`, angular rate in `gyro_units`) and imufusion installed,
    gravity is removed by an orientation filter before the velocity is estimated; without
    imufusion, `gyro_note` says why the gyroscope goes unused and the estimator gets the
    acceleration as it is.
    """

    def __init__(
        self,
        has_velocity: bool = False,
        units: str = "m/s2",
        time_unit: str | None = "s",
        input_rate_hz: float | None = None,
        gap_s: float = 0.2,
        estimator: VelocityEstimator | None = None,
        has_gyro: bool = False,
        gyro_units: str = "deg/s",
    ):
        if units not in UNIT_SCALES:
            raise InputError(f"unknown units {units!r} (use {' or '.join(UNIT_SCALES)})")
        if time_unit is not None and time_unit not in TIME_SCALES:
            raise InputError(f"unknown time unit {time_unit!r} (use s or ms)")
        if time_unit is None and not (input_rate_hz and input_rate_hz > 0):
            raise InputError("samples without time stamps need their rate")
        if gyro_units not in GYRO_SCALES:
            raise InputError(f"unknown gyroscope units {gyro_units!r} (use deg/s or rad/s)")
        self.has_velocity = has_velocity
        self.acc_scale = UNIT_SCALES[units]
        self.time_scale = TIME_SCALES[time_unit] if time_unit else None
        self.input_rate_hz = input_rate_hz
        self.resampler = Resampler(SAMPLE_RATE, gap_s)
        self.estimator = None if has_velocity else (estimator or VelocityEstimator())
        self.has_gyro = has_gyro and not has_velocity
        self.gyro_scale = GYRO_SCALES[gyro_units]
        self.gyro_note = orientation_filter_missing() if self.has_gyro else None
        self.gravity = GravityRemover() if self.has_gyro and not self.gyro_note else None
        self.read = self.malformed = 0

    def restart(self) -> None:
        """A new take: a new grid and a velocity estimate from rest."""
        self.resampler.restart()
        self._restart_estimate()

    def _restart_estimate(self) -> None:
        if self.estimator is not None:
            self.estimator.reset()
        if self.gravity is not None:
            self.gravity.reset()

    def push(self, t, acc, vel=None, tag=None, gyro=None) -> list[Row]:
        """One sensor sample; the finished engine rows (6 values each), possibly none. The
        angular rate `gyro` is read only when the conditioner has a gyroscope."""
        self.read += 1
        try:
            values = [float(a) * self.acc_scale for a in acc]
            if self.has_velocity:
                values += [float(v) for v in vel]
            elif self.has_gyro:
                values += [float(g) * self.gyro_scale for g in gyro]
            if len(values) != 3 + 3 * (self.has_velocity or self.has_gyro):
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
        if self.resampler.gaps != gaps:
            self._restart_estimate()
        if self.estimator is None:
            return rows
        return [self._with_velocity(row) for row in rows]

    def _with_velocity(self, row: Row) -> Row:
        acc = row.values[:3]
        if self.gravity is not None:
            linear = self.gravity.step(acc, row.values[3:])
        else:
            linear = acc
        return Row(row.t, acc + self.estimator.step(*linear), row.tag)

    @property
    def counts(self) -> dict[str, int]:
        return {
            "read": self.read,
            "malformed": self.malformed,
            "out_of_order": self.resampler.dropped,
            "gaps": self.resampler.gaps,
            "emitted": self.resampler.emitted,
        }
