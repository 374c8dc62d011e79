"""Options and steps shared by the `simulate`, `evaluate` and `plot` commands."""

import argparse
import math
import sys
from dataclasses import fields
from pathlib import Path

from ...models.gesture import GestureConfig
from ..errors import WorkbenchError

# What the service does with no other word: batch size and thresholds.
SERVICE_DEFAULTS = {
    f.name: f.default for f in fields(GestureConfig) if f.name.endswith(("_th", "num_sample"))
}

# Ten hours at 50 Hz is 1.8 million rows, some 90 MB in memory while it is written.
MAX_SIMULATED_S = 36_000.0


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


def label_counts(labels) -> str:
    import numpy as np

    names, counts = np.unique(labels, return_counts=True)
    return ", ".join(f"{n} {c}" for n, c in zip(names, counts, strict=True))


def probability(text: str) -> float:
    return _number(text, 0, 1, "must lie between 0 and 1")


def non_negative(text: str) -> float:
    return _number(text, 0, math.inf, "must be a number, 0 or more")


def non_negative_int(text: str) -> int:
    return _number(text, 0, math.inf, "must be 0 or more", int)


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
        "--num-sample", type=non_negative_int, help="samples per engine cycle (bundle's, else 10)"
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


def load_model(args):
    """The classifier named by `--model` and the `GestureConfig` to run it with.

    `--model` is a bundle directory, whose recommended batch size and thresholds fill in the
    options not given, or a pickled classifier with its `--encoder`, where the service's
    defaults do. The chosen values are written back into `args` for reports."""
    from ..learning.training import load_model_pair

    chosen = {"num_sample": args.num_sample, "confidence_th": args.confidence_th}
    chosen["gesture_prob_th"] = args.prob_th
    if Path(args.model).is_dir():
        from ..learning.bundle import load_bundle

        if args.encoder:
            raise WorkbenchError("--encoder goes with a pickled --model, not with a bundle")
        bundle = load_bundle(args.model)
        model, paths = bundle.model, (bundle.model_path, bundle.encoder_path)
        recommended = {name: getattr(bundle, name) for name in chosen}
    else:
        if not args.encoder:
            raise WorkbenchError(f"{args.model}: a pickled model needs its --encoder")
        model, _ = load_model_pair(args.model, args.encoder)
        paths = (args.model, args.encoder)
        recommended = SERVICE_DEFAULTS
    for name, value in chosen.items():
        if value is None:
            chosen[name] = recommended[name]
    args.num_sample, args.confidence_th = chosen["num_sample"], chosen["confidence_th"]
    args.prob_th = chosen["gesture_prob_th"]
    return model, GestureConfig(str(paths[0]), str(paths[1]), **chosen)


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
        type=non_negative,
        default=0.1,
        help="seconds between the application's polls of the one-slot result queue; a result "
        "replaced before a poll is lost; 0 polls after every cycle (0.1)",
    )
