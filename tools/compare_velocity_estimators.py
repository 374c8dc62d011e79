"""Which velocity estimator lets the default path recognise gestures from acceleration alone?

For each estimator, simulated sensor files (100 Hz with jitter, acceleration only, time
stamps in ms) go through import -> shape -> train -> evaluate, as the commands do, and
the recognition and spurious rates are printed beside those of the same sessions recorded
with their true velocity. Sensors: linear acceleration (gravity removed by the sensor); a
raw accelerometer that feels gravity while the hand tilts slowly by up to 10 or 20 degrees;
linear acceleration of slower strokes (0.6 to 1.5 s at 0.3 to 0.6 m/s).

    .venv/bin/python tools/compare_velocity_estimators.py [--variants NAME ...]
"""

import argparse
import math
import tempfile
from pathlib import Path

import numpy as np
from scipy import signal

from velmorakit.conditioning import VelocityEstimator
from velmorakit.models.gesture import GestureConfig
from velmorakit.workbench.assessment.scoring import Thresholds, score
from velmorakit.workbench.commands.options import engine_passes, scorable
from velmorakit.workbench.learning.segments import extract, shape_recording
from velmorakit.workbench.learning.training import save_model_pair, train_model
from velmorakit.workbench.recordings.importing import import_recording
from velmorakit.workbench.recordings.recording import (
    load_events,
    read_recording,
    truth_path,
    write_recording,
    write_truth,
)
from velmorakit.workbench.simulation.sensor import sensor_session, write_sensor_file
from velmorakit.workbench.simulation.synthetic import SimulationSettings, simulate_session


class LeakyIntegral:
    """The first design: a leaky trapezoidal integral (time constant `leak_s`, math.inf for
    none) of the acceleration less its bias, tracked with time constant `bias_s`."""

    def __init__(self, leak_s: float, bias_s: float, rate_hz: float = 50.0):
        self.dt = 1 / rate_hz
        self.leak = math.exp(-self.dt / leak_s)
        self.bias_gain = 1 - math.exp(-self.dt / bias_s)
        self.reset()

    def reset(self):
        self.bias = None
        self.velocity = np.zeros(3)
        self.previous = np.zeros(3)

    def step(self, ax, ay, az):
        acc = np.array([ax, ay, az])
        if self.bias is None:
            self.bias = acc.copy()
        self.bias += self.bias_gain * (acc - self.bias)
        free = acc - self.bias
        self.velocity = self.leak * self.velocity + self.dt * (free + self.previous) / 2
        self.previous = free
        return tuple(self.velocity)


class HighPassIntegral:
    """The trapezoidal integral of the acceleration less its first sample, then a
    Butterworth high-pass filter; as one filter, the integrator's pole cancelling one zero
    of the high-pass."""

    def __init__(self, cutoff_hz: float, order: int, rate_hz: float = 50.0):
        high_b, high_a = signal.butter(order, cutoff_hz / (rate_hz / 2), "highpass")
        numerator = np.polymul(np.poly(np.ones(order - 1)), [1.0, 1.0])
        self.b = 0.5 / rate_hz * high_b[0] * numerator
        self.a = high_a
        self.reset()

    def reset(self):
        self.rest = None
        self.state = np.zeros((len(self.a) - 1, 3))

    def step(self, ax, ay, az):
        acc = np.array([ax, ay, az])
        if self.rest is None:
            self.rest = acc
        out, self.state = signal.lfilter(
            self.b, self.a, (acc - self.rest)[None], axis=0, zi=self.state
        )
        return tuple(out[0])


VARIANTS = {
    "leaky 1 s, bias 2 s": lambda: LeakyIntegral(1.0, 2.0),
    "leaky 0.25 s, bias 2 s": lambda: LeakyIntegral(0.25, 2.0),
    "leaky 0.3 s, bias 0.3 s": lambda: LeakyIntegral(0.3, 0.3),
    "high-pass 2nd order 0.8 Hz": lambda: HighPassIntegral(0.8, 2),
    "high-pass 3rd order 0.6 Hz": lambda: HighPassIntegral(0.6, 3),
    "rest-aware 0.2 m/s2, hold 0.2 s": lambda: VelocityEstimator(rest_std=0.2, hold_s=0.2),
    "rest-aware 0.3 m/s2, hold 0.2 s": lambda: VelocityEstimator(rest_std=0.3, hold_s=0.2),
    "rest-aware 0.5 m/s2, hold 0.2 s": lambda: VelocityEstimator(rest_std=0.5, hold_s=0.2),
    "rest-aware 0.3 m/s2, hold 0.4 s": lambda: VelocityEstimator(rest_std=0.3, hold_s=0.4),
    "rest-aware 0.5 m/s2, hold 0.4 s": lambda: VelocityEstimator(rest_std=0.5, hold_s=0.4),
}


# Sensors: name, (gravity, tilt in degrees, stroke settings).
SLOW = SimulationSettings(duration_s=(0.6, 1.5), mean_speed_m_s=(0.3, 0.6))
SENSORS = {
    "linear": (False, 0.0, None),
    "tilt 10": (True, 10.0, None),
    "tilt 20": (True, 20.0, None),
    "slow": (False, 0.0, SLOW),
}


def pipeline(train: list[Path], test: list[Path], work: Path) -> tuple[float, float]:
    """Shape, train and evaluate as the commands do; recognition and spurious rates."""
    parts = []
    for path in train:
        recording = read_recording(path)
        events = load_events(path, recording)
        parts.append(shape_recording(recording.samples, events, path.name, 1)[0])
    features = np.concatenate([p.features for p in parts])
    labels = np.concatenate([p.labels for p in parts])
    model, encoder, _ = train_model(features, labels, 0.25, 64, 0)
    save_model_pair(model, encoder, work / "model.pkl", work / "encoder.pkl")
    config = GestureConfig(str(work / "model.pkl"), str(work / "encoder.pkl"))
    classes = [str(c) for c in model.classes_]
    inputs = scorable("evaluate", [str(path) for path in test], classes)
    parts = engine_passes(inputs, config, classes, "evaluating")
    result = score(parts, classes, Thresholds(config.confidence_th, config.gesture_prob_th))
    return result.recognition_rate or 0.0, result.spurious_rate or 0.0


def write_sessions(work: Path, seeds, seconds: float, sensor: str, true: bool) -> list[Path]:
    """The sessions of a sensor as its files, or as recordings with their true velocity."""
    paths = []
    for seed in seeds:
        path = work / f"{sensor}-{'true' if true else 'sensor'}-{seed}.csv"
        gravity, tilt, settings = SENSORS[sensor]
        if true:
            session = simulate_session(seconds, seed, settings)
            write_recording(path, session.samples, session.labels)
            write_truth(truth_path(path), session.events)
        else:
            t, acc, labels, _ = sensor_session(seconds, seed, 100.0, 0.1, gravity, tilt, settings)
            write_sensor_file(path, t, acc, labels, "ms")
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--train-seconds", type=float, default=600)
    parser.add_argument("--test-seconds", type=float, default=240)
    parser.add_argument("--variants", nargs="*", help="names of the variants to run (all)")
    parser.add_argument("--phone", type=Path, help="phone_digits.csv: figures on real takes")
    args = parser.parse_args()
    if args.phone:
        phone_figures(args.phone, args.variants)
        return
    work = Path(tempfile.mkdtemp(prefix="velocity-estimators-"))
    train_seeds = (1, 3)
    test_seeds = (2, 4, 6)

    print("recognised / spurious, test sessions of", len(test_seeds) * args.test_seconds, "s")
    print(f"{'velocity':30}" + "".join(f"{name:>18}" for name in SENSORS))
    baseline = [
        _rates(
            pipeline(
                write_sessions(work, train_seeds, args.train_seconds, sensor, True),
                write_sessions(work, test_seeds, args.test_seconds, sensor, True),
                work,
            )
        )
        for sensor in SENSORS
    ]
    print(f"{'true velocity (50 Hz rows)':30}" + "".join(f"{f:>18}" for f in baseline))
    files = {
        sensor: (
            write_sessions(work, train_seeds, args.train_seconds, sensor, False),
            write_sessions(work, test_seeds, args.test_seconds, sensor, False),
        )
        for sensor in SENSORS
    }
    for name, make in VARIANTS.items():
        if args.variants and name not in args.variants:
            continue
        figures = []
        for train, test in files.values():
            imported = []
            for path in train + test:
                out = work / f"imported-{path.name}"
                import_recording(path, out, estimator=make())
                imported.append(out)
            figures.append(_rates(pipeline(imported[: len(train)], imported[len(train) :], work)))
        print(f"{name:30}" + "".join(f"{f:>18}" for f in figures), flush=True)


def phone_figures(path: Path, names: list[str] | None) -> None:
    """Per variant, over the phone takes: the speed in each take's last 0.5 s (at rest),
    the peak speed, and the takes in which the engine's segmentation finds a gesture."""
    work = Path(tempfile.mkdtemp(prefix="velocity-phone-"))
    columns = "t=t_ms,ax=lin_ax,ay=lin_ay,az=lin_az,label=label,group=take"
    print(f"{'velocity':34}{'speed at rest: median':>22}{'90th pct':>10}{'peak':>8}{'found':>8}")
    for name, make in VARIANTS.items():
        if names and name not in names:
            continue
        import_recording(path, work / "digits.csv", columns, estimator=make())
        recording = read_recording(work / "digits.csv")
        takes = load_events(work / "digits.csv", recording)
        speed = np.linalg.norm(recording.samples[:, 3:], axis=1)
        at_rest = [np.median(speed[e.end - 25 : e.end]) for e in takes]
        peaks = [speed[e.start : e.end].max() for e in takes]
        _, bounds = extract(recording.samples, 1)
        found = {i for s, _ in bounds for i, e in enumerate(takes) if e.start <= s < e.end}
        print(
            f"{name:34}{np.median(at_rest):>20.3f} m/s{np.percentile(at_rest, 90):>10.3f}"
            f"{np.median(peaks):>8.2f}{len(found) / len(takes):>8.0%}",
            flush=True,
        )


def _rates(pair: tuple[float, float]) -> str:
    return f"{pair[0]:.1%} / {pair[1]:.1%}"


if __name__ == "__main__":
    main()
