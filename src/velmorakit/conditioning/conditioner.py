"""Sensor samples in, engine rows out: units, the 50 Hz grid and, without velocity columns, the
velocity estimate."""

import itertools
import math
from collections.abc import Callable
from statistics import median

from ..errors import InputError
from .gravity import GYRO_SCALES, STANDARD_GRAVITY, GravityRemover, orientation_filter_missing
from .rate import SAMPLE_RATE
from .resampling import Resampler, Row
from .time_units import TIME_SCALES, implied_rate, time_unit_for, unit_named_by
from .velocity import VelocityEstimator

UNIT_SCALES = {"m/s2": 1.0, "g": STANDARD_GRAVITY}
# Time-stamped samples held back at the start to decide or check the unit of their stamps.
CHECK_SAMPLES = 10
# Marks a restart among the held samples.
_RESTART = object()


class Conditioner:
    """Sensor samples in, engine rows out: [ax, ay, az, vx, vy, vz] in m/s² and m/s at 50 Hz.

    Per sample: acceleration scaled to m/s² (`units`), the sample placed on the 50 Hz grid by
    linear interpolation over its time stamp, and, without velocity columns, the velocity
    estimated from the resampled acceleration.

    Time stamps are in `time_unit` s or ms, or "auto": the unit that `time_column`'s name
    states, or the only one giving a plausible rate. The first `check_samples` time-stamped
    samples are held back until the rate their stamps imply has decided or checked the unit;
    a unit whose rate no sensor has raises `TimeUnitError` rather than make garbage of the
    stream (0: the caller has checked the unit; no sample is held). `finish` releases what is
    still held when the stream ends.

    Without time stamps (`time_unit` None) give `input_rate_hz`; the samples are then taken
    as evenly spaced, and one that is dropped still took its sample period: the clock moves
    on and the resampler bridges the hole.

    A sample that is malformed or not finite (also a number too large for a float) is dropped
    and counted (`malformed`): interpolating towards it or integrating it would spoil the rows
    around it and, for the velocity, all rows after it. `on_drop(kind, tag)` hears of each
    dropped sample: "malformed", "nonfinite" or "out_of_order" (a stamp that repeats or goes
    back).

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
        time_column: str | None = None,
        check_samples: int = CHECK_SAMPLES,
        on_drop: Callable[[str, object], None] | None = None,
        has_gyro: bool = False,
        gyro_units: str = "deg/s",
    ):
        if units not in UNIT_SCALES:
            raise InputError(f"unknown units {units!r} (use {' or '.join(UNIT_SCALES)})")
        if time_unit is not None and time_unit not in (*TIME_SCALES, "auto"):
            raise InputError(f"unknown time unit {time_unit!r} (use s, ms or auto)")
        if time_unit is None and not (input_rate_hz and input_rate_hz > 0):
            raise InputError("samples without time stamps need their rate")
        if gyro_units not in GYRO_SCALES:
            raise InputError(f"unknown gyroscope units {gyro_units!r} (use deg/s or rad/s)")
        if time_unit == "auto" and check_samples < 2:
            raise InputError("telling the time unit takes the first samples' stamps")
        self.has_velocity = has_velocity
        self.acc_scale = UNIT_SCALES[units]
        self.stamped = time_unit is not None
        self.given_unit = time_unit if time_unit in TIME_SCALES else None
        self.time_column = time_column
        # The unit in use: decided by the first samples' stamps when those are held back.
        self.time_unit = self.given_unit if not (self.stamped and check_samples > 0) else None
        self.time_scale = TIME_SCALES[self.time_unit] if self.time_unit else 1.0
        self.input_rate_hz = input_rate_hz
        self.check_samples = check_samples
        self.on_drop = on_drop
        self._held = [] if self.stamped and check_samples > 0 else None
        self.resampler = Resampler(SAMPLE_RATE, gap_s)
        self.estimator = None if has_velocity else (estimator or VelocityEstimator())
        self.has_gyro = has_gyro and not has_velocity
        self.gyro_scale = GYRO_SCALES[gyro_units]
        self.gyro_note = orientation_filter_missing() if self.has_gyro else None
        self.gravity = GravityRemover() if self.has_gyro and not self.gyro_note else None
        self.read = self.malformed = 0

    def restart(self) -> None:
        """A new take: a new grid and a velocity estimate from rest."""
        if self._held:
            self._held.append(_RESTART)
            return
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
        sample = self._read(t, acc, vel, gyro)
        if isinstance(sample, str):
            self.malformed += 1
            self._dropped(sample, tag)
            return []
        if self._held is None:
            return self._place(*sample, tag)
        self._held.append((*sample, tag))
        if sum(entry is not _RESTART for entry in self._held) < self.check_samples:
            return []
        return self._release(at_end=False)

    def skip(self) -> None:
        """A sample that could not be read at all (a garbled line): counted as malformed;
        without time stamps it still took its sample period."""
        self.read += 1
        self.malformed += 1

    def finish(self) -> list[Row]:
        """The stream has ended: the rows of the samples still held back."""
        return self._release(at_end=True) if self._held else []

    def _read(self, t, acc, vel, gyro) -> tuple[float, list[float]] | str:
        """(stamp, values) of a sample, or the kind of fault that drops it."""
        try:
            values = [float(a) * self.acc_scale for a in acc]
            if self.has_velocity:
                values += [float(v) for v in vel]
            elif self.has_gyro:
                values += [float(g) * self.gyro_scale for g in gyro]
            stamp = float(t) if self.stamped else (self.read - 1) / self.input_rate_hz
        except OverflowError:  # an integer too large for a float
            return "nonfinite"
        except (TypeError, ValueError):
            return "malformed"
        if len(values) != 3 + 3 * (self.has_velocity or self.has_gyro):
            return "malformed"
        if not all(map(math.isfinite, values)) or not math.isfinite(stamp):
            return "nonfinite"
        return stamp, values

    def _release(self, at_end: bool) -> list[Row]:
        """Decide or check the unit on the held samples' stamps, then place them."""
        stamps = [entry[0] for entry in self._held if entry is not _RESTART]
        steps = [b - a for a, b in itertools.pairwise(stamps) if b > a]
        if steps:
            step = median(steps)
            self.time_unit = time_unit_for(step, self.given_unit, self.time_column)
            self.input_rate_hz = implied_rate(step, self.time_unit)
        elif at_end:  # too few stamps to tell: any unit gives the same rows
            self.time_unit = self.given_unit or unit_named_by(self.time_column) or "s"
            self.input_rate_hz = None  # unknown
        else:
            raise InputError(f"the first {len(stamps)} time stamps do not increase")
        self.time_scale = TIME_SCALES[self.time_unit]
        held, self._held = self._held, None
        rows = []
        for entry in held:
            if entry is _RESTART:
                self.restart()
            else:
                rows += self._place(*entry)
        return rows

    def _place(self, stamp: float, values: list[float], tag) -> list[Row]:
        gaps, dropped = self.resampler.gaps, self.resampler.dropped
        rows = self.resampler.push(stamp * self.time_scale, values, tag)
        if self.resampler.dropped != dropped:
            self._dropped("out_of_order", tag)
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

    def _dropped(self, kind: str, tag) -> None:
        if self.on_drop is not None:
            self.on_drop(kind, tag)

    @property
    def counts(self) -> dict[str, int]:
        return {
            "read": self.read,
            "malformed": self.malformed,
            "out_of_order": self.resampler.dropped,
            "gaps": self.resampler.gaps,
            "emitted": self.resampler.emitted,
        }
