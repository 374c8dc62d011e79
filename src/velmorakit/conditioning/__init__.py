"""Sensor samples made into the engine's 50 Hz rows: column mapping, units (the unit of the time
stamps checked against the rate they imply), resampling, velocity.

The same code conditions a whole file (`velmorakit import`) and a live source sample by
sample, so that a model learns from exactly the rows it will be shown live. Each stage is
causal and streaming: `Conditioner.push` takes one sensor sample and returns the rows that
sample completes.
"""

from .columns import ACC_ROLES, GYRO_ROLES, ROLES, TIME_COLUMNS, VEL_ROLES, ColumnMap
from .conditioner import CHECK_SAMPLES, UNIT_SCALES, Conditioner
from .gravity import GYRO_SCALES, STANDARD_GRAVITY, GravityRemover
from .rate import DT, SAMPLE_RATE
from .resampling import Resampler, Row
from .time_units import (
    PLAUSIBLE_RATES_HZ,
    TIME_SCALES,
    TimeUnitError,
    implied_rate,
    time_unit_for,
    unit_named_by,
)
from .velocity import VelocityEstimator

__all__ = [
    "ACC_ROLES",
    "CHECK_SAMPLES",
    "DT",
    "GYRO_ROLES",
    "GYRO_SCALES",
    "PLAUSIBLE_RATES_HZ",
    "ROLES",
    "SAMPLE_RATE",
    "STANDARD_GRAVITY",
    "TIME_COLUMNS",
    "TIME_SCALES",
    "UNIT_SCALES",
    "VEL_ROLES",
    "ColumnMap",
    "Conditioner",
    "GravityRemover",
    "Resampler",
    "Row",
    "TimeUnitError",
    "VelocityEstimator",
    "implied_rate",
    "time_unit_for",
    "unit_named_by",
]
