"""Options and steps shared by the `simulate`, `evaluate` and `plot` commands."""

import argparse
import math
import sys
from dataclasses import fields
from pathlib import Path

from ...conditioning import PLAUSIBLE_RATES_HZ, SAMPLE_RATE
from ...conditioning.velocity import ESTIMATE_VERSION
from ...models.gesture import GestureConfig
from ...models.rejection import NO_GESTURE
from ..errors import WorkbenchError

# What the service does with no other word: batch size and thresholds.
SERVICE_DEFAULTS = {
    f.name: f.default for f in fields(GestureConfig) if f.name.endswith(("_th", "num_sample"))
}

# Ten hours at 50 Hz is 1.8 million rows, some 90 MB in memory while it is written.
MAX_SIMULATED_S = 36_000.0
# The engine's window: a batch of more samples than it holds would skip rows unseen.
WINDOW_ROWS = round(2 * SAMPLE_RATE)


def _number(text: str, low: float, high: float, what: str, kind=float):
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and low <= value <= high):
        raise argparse.ArgumentTypeError(f"{what}: {text}")
    return value


def seconds(text: str) -> float:
    value = _number(text, 0, MAX_SIMULATED_S, f"must lie in (0, {MAX_SIMULATED_S:g}] seconds")
    if value == 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def within(low: float, high: float, kind=float, unit: str = ""):
    """An argument parser of a finite number of `kind` from `low` to `high`."""

    shown = [f"{v:g}" if isinstance(v, float) else str(v) for v in (low, high)]

    def parse(text: str):
        return _number(text, low, high, f"must lie between {shown[0]} and {shown[1]}{unit}", kind)

    return parse


# Sampling rates of sensors, as `import` tells seconds from milliseconds by them.
sensor_rate = within(*PLAUSIBLE_RATES_HZ, unit=" Hz")
SENSOR_RATES = "{:g} to {:g} Hz".format(*PLAUSIBLE_RATES_HZ)
# Seeds of NumPy's and scikit-learn's generators.
seed = within(0, 2**32 - 1, int)
samples_per_cycle = within(0, WINDOW_ROWS, int)


def poll_interval(text: str) -> float:
    """0 (a poll after every cycle) or 1 ms to an hour."""
    value = _number(text, 0, 3600, "must be 0, or between 0.001 and 3600 seconds")
    if 0 < value < 1e-3:
        raise argparse.ArgumentTypeError(f"must be 0, or between 0.001 and 3600 seconds: {text}")
    return value


def positive(kind=float):
    """An argument parser of a finite number of `kind` above 0."""

    def parse(text: str):
        value = _number(text, 0, math.inf, "must be positive", kind)
        if value == 0:
            raise argparse.ArgumentTypeError(f"must be positive: {text}")
        return value

    return parse


def fraction(text: str) -> float:
    value = _number(text, 0, 1, "must lie between 0 and 1")
    if value in (0, 1):
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1: {text}")
    return value


def output_path(path: str) -> str:
    """`path`, with its directory created if need be."""
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    return path


def model_files(args) -> list[Path]:
    """The files that `--model` and `--encoder` name: inputs that no output may replace."""
    if not getattr(args, "model", None):
        return []
    model = Path(args.model)
    files = sorted(model.iterdir()) if model.is_dir() else [model]
    return files + ([Path(args.encoder)] if args.encoder else [])


def recording_inputs(paths) -> list[Path]:
    """Recordings with the ground-truth files beside them: inputs that no output may replace."""
    from ..recordings.recording import truth_path

    return [p for path in paths for p in (Path(path), truth_path(path))]


def label_counts(labels) -> str:
    import numpy as np

    names, counts = np.unique(labels, return_counts=True)
    return ", ".join(f"{n} {c}" for n, c in zip(names, counts, strict=True))


def probability(text: str) -> float:
    return _number(text, 0, 1, "must lie between 0 and 1")


def non_negative(text: str) -> float:
    return _number(text, 0, math.inf, "must be a number, 0 or more")


def png_output(path: str) -> Path:
    """`path` as a PNG file name: without a suffix `.png` is added; another suffix is an
    error. Its directory is created if need be."""
    out = Path(path)
    if out.suffix == "":
        out = out.with_name(out.name + ".png")
    elif out.suffix.lower() != ".png":
        raise WorkbenchError(f"{path}: pictures are written as PNG; give a name ending in .png")
    output_path(out)
    return out


def warn(command: str, message: str) -> None:
    print(f"velmorakit {command}: warning: {message}", file=sys.stderr)


def add_model_options(p, required: bool) -> None:
    p.add_argument(
        "--model",
        required=required,
        help="model bundle directory written by `train`, or a pickled classifier with --encoder",
    )
    p.add_argument("--encoder", help="pickled label encoder, with a pickled classifier as --model")


def add_cycle_options(p) -> None:
    """Batch size and acceptance thresholds; unset, they come from the model bundle, else from
    the service's defaults."""
    p.add_argument(
        "--num-sample",
        type=samples_per_cycle,
        help=f"samples per engine cycle, 0 to {WINDOW_ROWS} (bundle's, else 10)",
    )
    p.add_argument(
        "--confidence-th",
        type=non_negative,
        help="least confidence: best class probability over the second best, rounded down "
        "(bundle's recommendation, else 2)",
    )
    p.add_argument(
        "--prob-th", type=probability, help="least probability (bundle's recommendation, else 0.6)"
    )


def load_model(args, bundle=None):
    """The classifier named by `--model` (or the loaded `bundle`) and the `GestureConfig` to run
    it with.

    `--model` is a bundle directory, whose recommended batch size and thresholds fill in the
    options not given, or a pickled classifier with its `--encoder`, where the service's
    defaults do. The config names private copies of the checked files, removed when the
    command ends (`args.cleanup`). The chosen values are written back into `args` for reports,
    and so is the velocity estimate the model learnt from (`args.velocity_estimate`; a pickled
    model's provenance is unknown: today's)."""
    from ...models.bundle import load_bundle
    from ...models.model_pair import load_model_pair

    chosen = {"num_sample": args.num_sample, "confidence_th": args.confidence_th}
    chosen["gesture_prob_th"] = args.prob_th
    if bundle is None and Path(args.model).is_dir():
        if args.encoder:
            raise WorkbenchError("--encoder goes with a pickled --model, not with a bundle")
        bundle = load_bundle(args.model)
    if bundle is not None:
        loaded = args.cleanup.enter_context(bundle)
        recommended = {name: getattr(bundle, name) for name in chosen}
    else:
        if not args.encoder:
            raise WorkbenchError(f"{args.model}: a pickled model needs its --encoder")
        loaded = args.cleanup.enter_context(load_model_pair(args.model, args.encoder))
        recommended = SERVICE_DEFAULTS
    for name, value in chosen.items():
        if value is None:
            chosen[name] = recommended[name]
    args.num_sample, args.confidence_th = chosen["num_sample"], chosen["confidence_th"]
    args.prob_th = chosen["gesture_prob_th"]
    args.velocity_estimate = bundle.velocity_estimate if bundle is not None else ESTIMATE_VERSION
    return loaded.model, loaded.gesture_config(**chosen)


def gesture_classes(model) -> list[str]:
    """The classes a model reports: its "no gesture" class never reaches an application."""
    return [str(c) for c in model.classes_ if str(c) != NO_GESTURE]


def scorable(command: str, paths, classes):
    """(path, recording, events) of each recording that can be scored, with warnings."""
    from ..recordings.groundtruth import (
        load_scorable_events,
        unknown_label_notes,
        without_rest_markers,
    )
    from ..recordings.recording import read_recording, recording_paths, truth_path

    inputs = []
    for path in recording_paths(paths):
        recording = read_recording(path)
        events = load_scorable_events(path, recording)
        if events is None:
            warn(command, f"{path}: cannot be scored: no {truth_path(path).name}, no label column")
            continue
        for note in unknown_label_notes(events, classes):
            warn(command, f"{path}: label {note}")
        inputs.append((path, recording, without_rest_markers(events, classes)))
    return inputs


def engine_passes(inputs, config, classes, desc: str):
    """Run the engine once over each recording, with one progress bar over all their rows."""
    from ...middleware.utilities.velmora_computing import VelmoraComputing
    from ..assessment.attribution import attribute
    from ..assessment.evaluation import run_engine
    from ..progress import progress

    parts = []
    rows = sum(len(recording.samples) for _, recording, _ in inputs)
    with progress(total=rows, desc=desc, unit="sample", unit_scale=True, disable=None) as bar:
        for path, recording, events in inputs:
            engine = VelmoraComputing(config.model_path, config.encoder_path)
            engine_pass = run_engine(engine, recording.samples, config, bar.update, recording.gaps)
            parts.append(attribute(Path(path).name, engine_pass, events, classes))
    return parts


def add_engine_options(p, model_required: bool) -> None:
    add_model_options(p, model_required)
    add_cycle_options(p)
    p.add_argument(
        "--poll-interval",
        type=poll_interval,
        default=0.1,
        help="seconds between the application's polls of the one-slot result queue; a result "
        "replaced before a poll is lost; 0 polls after every cycle (0.1)",
    )
