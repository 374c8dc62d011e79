"""Gravity removed from an accelerometer with the gyroscope beside it, by an orientation filter.

The orientation filter is the AHRS of `imufusion` (an optional dependency: `pip install
'velmorakit[imu]'`). It integrates the gyroscope and pulls the orientation slowly towards
the accelerometer's gravity, so that the gravity it subtracts turns with the hand, where an
accelerometer alone cannot tell a turn of the wrist from a stroke.
"""

import math

import numpy as np

from ..errors import InputError
from .rate import SAMPLE_RATE

STANDARD_GRAVITY = 9.80665  # m/s² per g
GYRO_SCALES = {"deg/s": 1.0, "rad/s": 180.0 / math.pi}  # to degrees per second

# The filter starts from the orientation it settles on when shown the first sample this many
# times at rest; without it, its own start-up (a high gain for its first seconds) follows
# every stroke of a short take. The gain and the rejection of accelerations that disagree with
# gravity by more than ACCELERATION_REJECTION_DEG are the library's recommended defaults.
SETTLE_UPDATES = 300
GAIN = 0.5
ACCELERATION_REJECTION_DEG = 10.0
GYRO_RANGE_DEG_S = 2000.0
REJECTION_TIMEOUT_S = 5.0


def orientation_filter_missing() -> str | None:
    """Why the gyroscope cannot be used here, or None when it can."""
    try:
        import imufusion  # noqa: F401
    except ImportError:
        return "imufusion is not installed (pip install 'velmorakit[imu]')"
    return None


class GravityRemover:
    """Linear acceleration (m/s², sensor axes) from acceleration (m/s²) and angular rate
    (deg/s), one sample at a time at `rate_hz`."""

    def __init__(self, rate_hz: float = SAMPLE_RATE):
        import imufusion

        if not rate_hz > 0:
            raise InputError("the rate must be positive")
        self._imufusion = imufusion
        self.rate_hz = float(rate_hz)
        self.reset()

    def reset(self) -> None:
        """Forget the orientation: the next sample is taken as the hand at rest."""
        fusion = self._imufusion
        self._ahrs = fusion.Ahrs()
        self._ahrs.set_settings(
            fusion.AhrsSettings(
                sample_rate=self.rate_hz,
                convention=fusion.CONVENTION_NWU,
                gain=GAIN,
                gyroscope_range=GYRO_RANGE_DEG_S,
                acceleration_rejection=ACCELERATION_REJECTION_DEG,
                magnetic_rejection=0.0,
                rejection_timeout=round(REJECTION_TIMEOUT_S * self.rate_hz),
            )
        )
        self._ahrs.set_sample_period(1.0 / self.rate_hz)
        self._settled = False

    def step(self, acc, gyro) -> tuple[float, float, float]:
        acc_g = np.array(acc, dtype=float) / STANDARD_GRAVITY
        if not self._settled:
            still = np.zeros(3)
            for _ in range(SETTLE_UPDATES):
                self._ahrs.update_no_magnetometer(still, acc_g)
            self._settled = True
        self._ahrs.update_no_magnetometer(np.array(gyro, dtype=float), acc_g)
        linear = self._ahrs.get_linear_acceleration() * STANDARD_GRAVITY
        return (float(linear[0]), float(linear[1]), float(linear[2]))
