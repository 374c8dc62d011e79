"""The engine's sample rate, read from the engine: every row the service is fed is on this grid."""

from ..middleware.utilities.velmora_computing import VelmoraComputing

SAMPLE_RATE = VelmoraComputing.F_SAMP  # rows per second
DT = VelmoraComputing.NEW_DATA_INT_SEC  # seconds between rows
