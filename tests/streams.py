"""Sensor streams for tests and benchmarks, made by the workbench's simulator.

A stream is an (N, 6) float64 array at the engine's sampling rate: acceleration x, y, z, then
velocity x, y, z, one sample per row, oldest first.
"""

import numpy as np

from velmorakit.conditioning import SAMPLE_RATE
from velmorakit.workbench.simulation.synthetic import SimulationSettings, simulate_session


def random_stream(n, seed, scale=1.0):
    """Gaussian noise of standard deviation `scale` in all six channels."""
    return np.random.default_rng(seed).normal(0.0, scale, size=(n, 6))


def gesture_stream(n_gestures, seed, labels=None):
    """A simulated session of exactly `n_gestures` strokes: `(samples, events)`.

    Strokes are drawn from `labels` (all six directions when None). The stream ends where the
    next stroke would begin, so the last stroke is followed by a whole rest.
    """
    settings = SimulationSettings() if labels is None else SimulationSettings(labels=labels)
    longest = settings.duration_s[1] + settings.rest_s[1] + 2 / SAMPLE_RATE
    seconds = settings.lead_in_s + (n_gestures + 1) * longest
    session = simulate_session(seconds, seed, settings)  # room for one stroke more
    return session.samples[: session.events[n_gestures].start], session.events[:n_gestures]
