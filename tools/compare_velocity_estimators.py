"""Which velocity estimator lets the default path recognise gestures from acceleration alone?

For each estimator, simulated sensor files (100 Hz with jitter, acceleration only, time
stamps in ms) go through import -> shape -> train -> evaluate, as the commands do, and
the recognition and spurious rates are printed beside those of the same sessions recorded
with their true velocity. Sensors: linear acceleration (gravity removed by the sensor); a
raw accelerometer that feels gravity while the hand tilts slowly by up to 10 or 20 degrees;
linear acceleration of slower strokes (0.6 to 1.5 s at 0.3 to 0.6 m/s).

With --phone, figures on the real phone takes instead (phone_digits.csv and, beside it,
phone_digits_gravity.csv): speed percentiles (over all rows and within the motion),
segments found, "no end bound" and the delay from the end of the motion to the segment's
end bound, for the accelerometer alone (before and now) on the gravity-free and the gravity
files, and for the gyroscope path.

    .venv/bin/python tools/compare_velocity_estimators.py [--variants NAME ...]
    .venv/bin/python tools/compare_velocity_estimators.py --phone DIR/phone_digits.csv
"""

import argparse
import math
import tempfile
from pathlib import Path

import numpy as np
from scipy import signal

from velmorakit.conditioning import VelocityEstimator
from velmorakit.middleware.utilities.velmora_computing import VelmoraComputing
from velmorakit.models.gesture import GestureConfig
from velmorakit.workbench.assessment.evaluation import NO_END, STAGES, segmentation_stage
from velmorakit.workbench.assessment.scoring import Thresholds, score
from velmorakit.workbench.commands.options import engine_passes, scorable
from velmorakit.workbench.learning.segments import extract, shape_recording
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


class FirstRestAware:
    """The first rest-aware design: rest once the spread over 0.2 s has stayed below 0.5
    m/s² for 0.2 s; at rest the velocity decays within 0.1 s and the bias follows the
    window's oldest sample within 0.2 s; in motion the bias is held and the velocity leaks
    over 2 s."""

    def __init__(self, rate_hz: float = 50.0):
        self.dt = 1 / rate_hz
        self.size, self.hold = round(0.2 * rate_hz), round(0.2 * rate_hz)
        self.leak, self.decay = math.exp(-self.dt / 2.0), math.exp(-self.dt / 0.1)
        self.bias_gain = -math.expm1(-self.dt / 0.2)
        self.reset()

    def reset(self):
        self.window, self.quiet, self.resting, self.bias = [], 0, True, None
        self.velocity, self.previous = np.zeros(3), np.zeros(3)

    def step(self, ax, ay, az):
        acc = np.array([ax, ay, az])
        self.bias = acc.copy() if self.bias is None else self.bias
        self.window = (self.window + [acc])[-self.size :]
        spread = np.array(self.window).var(axis=0).sum()
        self.quiet = self.quiet + 1 if spread < 0.25 else 0
        if len(self.window) < self.size or self.quiet > self.hold:
            self.bias += self.bias_gain * (self.window[0] - self.bias)
            self.velocity *= self.decay
            self.previous[:] = 0
            self.resting = True
        else:
            for row in self.window if self.resting else [acc]:
                free = row - self.bias
                self.velocity = self.leak * self.velocity + self.dt / 2 * (free + self.previous)
                self.previous = free
            self.resting = False
        return tuple(self.velocity)


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
    from velmorakit.workbench.learning.training import save_model_pair, train_model

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


# The phone takes: how each file is imported, and the estimators compared on them.
PHONE_COLUMNS = {
    "gravity-free": "t=t_ms,ax=lin_ax,ay=lin_ay,az=lin_az,label=label,group=take",
    "gravity": "t=t_ms,ax=ax,ay=ay,az=az,label=label,group=take",
    "gravity + gyro": "t=t_ms,ax=ax,ay=ay,az=az,gx=gyro_x,gy=gyro_y,gz=gyro_z,"
    "label=label,group=take",
}
PHONE_VARIANTS = (
    ("accelerometer, before", FirstRestAware, ("gravity-free", "gravity")),
    ("accelerometer, now", VelocityEstimator, ("gravity-free", "gravity")),
    ("gyroscope (imufusion), now", VelocityEstimator, ("gravity + gyro",)),
)
# A take's motion ends at the last row where the root mean square of the gravity-free
# acceleration, centred over 0.25 s, exceeds 0.7 m/s² (a hand at rest shows up to 0.5).
MOTION_RMS_M_S2 = 0.7
MOTION_RMS_ROWS = 13


def motion_spans(acc: np.ndarray, takes) -> list[tuple[int, int] | None]:
    """Each take's motion: its rows from the first to the last loud one (None if none is)."""
    spans = []
    for take in takes:
        power = np.sum(acc[take.start : take.end] ** 2, axis=1)
        rms = np.sqrt(np.convolve(power, np.ones(MOTION_RMS_ROWS) / MOTION_RMS_ROWS, "same"))
        loud = np.flatnonzero(rms > MOTION_RMS_M_S2)
        spans.append(
            (take.start + int(loud[0]), take.start + int(loud[-1]) + 1) if len(loud) else None
        )
    return spans


def furthest_stage(speed: np.ndarray, start: int, stop: int) -> str:
    """How far the engine's segmentation gets on the rows start..stop (one cycle per row)."""
    k = VelmoraComputing
    b, a = signal.butter(k.FILT_VELTOT[0], k.FILT_VELTOT[1] / (k.F_SAMP / 2))
    best = 0
    for row in range(max(start, k.DATA_DIM), min(stop, len(speed)) + 1):
        window = signal.lfilter(b, a, speed[row - k.DATA_DIM : row])
        times = np.arange(row - k.DATA_DIM, row) * k.NEW_DATA_INT_SEC
        stage = segmentation_stage(k, window, times, -math.inf)[0]
        best = max(best, STAGES.index(stage))
    return STAGES[best]


def phone_figures(path: Path, names: list[str] | None) -> None:
    """Per estimator and file: the speed's percentiles over all rows of the phone takes and
    over their motion (from its first to its last loud row, found in the gravity-free file,
    where the rest around it weighs nothing); the takes in which the engine cuts a segment,
    and those where it cuts none because the speed never falls below a third of its peak;
    and the median delay (quartiles) from the end of the motion to the end bound of the last
    segment that starts before it."""
    work = Path(tempfile.mkdtemp(prefix="velocity-phone-"))
    files = {name: path for name in PHONE_COLUMNS}
    files["gravity"] = files["gravity + gyro"] = path.with_name("phone_digits_gravity.csv")
    spans = None
    print(
        f"{'velocity':28}{'file':16}{'|v| 50/90/99 %, m/s':>22}{'in motion':>17}{'segment':>9}"
        f"{'no end':>8}{'delay: median (quartiles), s':>32}"
    )
    for name, make, kinds in PHONE_VARIANTS:
        if names and name not in names:
            continue
        for kind in kinds:
            out = work / "digits.csv"
            import_recording(
                files[kind], out, PHONE_COLUMNS[kind], estimator=make(), gyro_units="rad/s"
            )
            recording = read_recording(out)
            takes = load_events(out, recording)
            if spans is None:
                spans = motion_spans(_gravity_free(files, work), takes)
                moving = np.zeros(len(recording.samples), dtype=bool)
                for span in filter(None, spans):
                    moving[span[0] : span[1]] = True
            speed = np.linalg.norm(recording.samples[:, 3:], axis=1)
            _, bounds = extract(recording.samples, 1)
            found = no_end = 0
            delays = []
            for take, span in zip(takes, spans, strict=True):
                end = span[1] if span else None
                segments = [b for b in bounds if take.start <= b[0] < take.end]
                if not segments:
                    no_end += furthest_stage(speed, take.start, take.end) == NO_END
                    continue
                found += 1
                before = [b for b in segments if end is not None and b[0] < end]
                if before:
                    delays.append((before[-1][1] - end) * VelmoraComputing.NEW_DATA_INT_SEC)
            p50, p90, p99 = np.percentile(speed, [50, 90, 99])
            m50, m90, m99 = np.percentile(speed[moving], [50, 90, 99])
            q1, q2, q3 = np.percentile(delays, [25, 50, 75])
            print(
                f"{name:28}{kind:16}{p50:>10.2f} {p90:.2f} {p99:.2f}"
                f"{m50:>7.2f} {m90:.2f} {m99:.2f}"
                f"{found / len(takes):>9.0%}{no_end / len(takes):>8.1%}"
                f"{q2:>+18.2f} ({q1:+.2f}..{q3:+.2f})",
                flush=True,
            )


def _gravity_free(files: dict, work: Path) -> np.ndarray:
    """The gravity-free acceleration of the phone takes on the 50 Hz grid."""
    out = work / "gravity-free.csv"
    import_recording(files["gravity-free"], out, PHONE_COLUMNS["gravity-free"])
    return read_recording(out).samples[:, :3]


def _rates(pair: tuple[float, float]) -> str:
    return f"{pair[0]:.1%} / {pair[1]:.1%}"


if __name__ == "__main__":
    main()
