"""The `velmorakit` command: simulate, shape, train, evaluate, plot and demo."""

import argparse
import sys
from pathlib import Path

from . import shape_command, train_command
from .errors import WorkbenchError


def _positive(kind):
    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value <= 0:
            raise argparse.ArgumentTypeError(f"must be positive: {text}")
        return value

    return parse


def _fraction(text: str) -> float:
    value = float(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1: {text}")
    return value


def _output(path: str) -> str:
    """`path`, with its directory created if need be."""
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    return path


def cmd_simulate(args) -> None:
    from .recordings import truth_path, write_recording, write_truth
    from .synthetic import simulate_session

    session = simulate_session(args.seconds, args.seed)
    write_recording(_output(args.output), session.samples, session.labels)
    write_truth(truth_path(args.output), session.events)
    print(
        f"wrote {args.output}: {len(session.samples)} samples, {len(session.events)} gestures; "
        f"ground truth in {truth_path(args.output)}"
    )


def _counts(labels) -> str:
    import numpy as np

    names, counts = np.unique(labels, return_counts=True)
    return ", ".join(f"{n} {c}" for n, c in zip(names, counts, strict=True))


def _config(args):
    from ..models.gesture import GestureConfig

    return GestureConfig(
        str(args.model),
        str(args.encoder),
        args.num_sample,
        args.confidence_th,
        args.prob_th,
    )


def cmd_evaluate(args) -> None:
    from tqdm import tqdm

    from ..middleware.utilities.velmora_computing import VelmoraComputing
    from .evaluation import merge, run_engine, score
    from .recordings import load_events, read_recording, recording_paths
    from .reports import evaluation_summary
    from .training import load_model_pair

    model, _ = load_model_pair(args.model, args.encoder)
    classes = [str(c) for c in model.classes_]
    config = _config(args)
    parts = []
    for path in tqdm(
        recording_paths(args.recordings), desc="evaluating", unit="recording", disable=None
    ):
        recording = read_recording(path)
        engine = VelmoraComputing(config.model_path, config.encoder_path)
        detections = run_engine(engine, recording.samples, config)
        parts.append(score(detections, load_events(path, recording), classes))
    result = merge(parts)
    print(evaluation_summary(result))
    if args.confusion_png:
        from .plotting import plot_confusion

        title = f"{result.recognition_rate:.1%} recognised, {result.spurious} spurious"
        plot_confusion(_output(args.confusion_png), result.confusion, result.classes, title)
        print(f"wrote {args.confusion_png}")


def cmd_plot(args) -> None:
    import numpy as np

    from .plotting import plot_recording
    from .recordings import read_recording
    from .segments import extract, filtered_speed, segment_labels
    from .synthetic import SAMPLE_RATE
    from .training import classify, load_model_pair

    pair = load_model_pair(args.model, args.encoder) if args.model else None
    recording = read_recording(args.recording)
    features, bounds = extract(recording.samples, args.step)
    if pair is None:
        labels = segment_labels(bounds, recording.labels)
    else:
        labels = classify(*pair, features) if len(features) else []
    speed, threshold = filtered_speed(recording.samples)

    first = round(args.start * SAMPLE_RATE)
    shown_rows = len(recording.samples) if args.seconds is None else args.seconds * SAMPLE_RATE
    last = first + round(shown_rows)
    if not 0 <= first < len(recording.samples):
        raise WorkbenchError(f"--start {args.start} s is outside the recording")
    shown = (bounds[:, 1] >= first) & (bounds[:, 0] < last)
    plot_recording(
        _output(args.output),
        recording.samples[first:last],
        speed[first:last],
        threshold,
        bounds[shown] - first,
        [label for label, keep in zip(labels, shown, strict=True) if keep],
        f"{Path(args.recording).name}: {int(shown.sum())} segments"
        + (" (labels from the model)" if args.model else ""),
        start_s=first / SAMPLE_RATE,
    )
    print(f"wrote {args.output}: {len(bounds)} segments in the recording, {np.sum(shown)} shown")


def cmd_demo(args) -> None:
    from .default_model import default_bundle
    from .demo import run_demo
    from .training import load_model_pair

    if args.model:
        load_model_pair(args.model, args.encoder)
        model_path, encoder_path = args.model, args.encoder
    else:
        bundle, report = default_bundle()
        model_path, encoder_path = bundle.model_path, bundle.encoder_path
        if report is None:
            print(f"using the cached default model {bundle.path}")
        else:
            chosen = next(s for s in report.scores if s.name == report.chosen)
            print(
                f"trained the default model ({report.chosen}) on {report.gestures} simulated "
                f"gestures (cross-validated accuracy {chosen.accuracy:.1%}), "
                f"cached as {bundle.path}"
            )
    run_demo(str(model_path), str(encoder_path), args.seconds, args.speed, args.seed)


def _model_options(parser, required: bool) -> None:
    parser.add_argument("--model", required=required, help="pickled classifier")
    parser.add_argument("--encoder", required=required, help="pickled label encoder")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmorakit", description="Real-time motion-gesture recognition: tools and demo."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("simulate", help="write a simulated, labelled recording (CSV)")
    p.add_argument("output", help="recording to write; the ground truth goes to *.truth.csv")
    p.add_argument("--seconds", type=_positive(float), default=120.0, help="length (120)")
    p.add_argument("--seed", type=int, default=0, help="random seed (0)")
    p.set_defaults(handler=cmd_simulate)

    shape_command.register(commands)
    train_command.register(commands)

    p = commands.add_parser("evaluate", help="score the engine on labelled recordings")
    p.add_argument("recordings", nargs="+", help="CSV recordings (truth from *.truth.csv)")
    _model_options(p, required=True)
    p.add_argument("--num-sample", type=_positive(int), default=10, help="batch size (10)")
    p.add_argument("--confidence-th", type=float, default=2.0, help="least confidence (2)")
    p.add_argument("--prob-th", type=float, default=0.6, help="least probability (0.6)")
    p.add_argument("--confusion-png", help="also draw the confusion matrix into this PNG")
    p.set_defaults(handler=cmd_evaluate)

    p = commands.add_parser("plot", help="draw a recording and its segments into a PNG")
    p.add_argument("recording", help="CSV recording")
    p.add_argument("-o", "--output", default="recording.png", help="(recording.png)")
    _model_options(p, required=False)
    p.add_argument("--start", type=float, default=0.0, help="first second shown (0)")
    p.add_argument("--seconds", type=_positive(float), help="seconds shown (all)")
    p.add_argument("--step", type=_positive(int), default=1, help="samples between runs (1)")
    p.set_defaults(handler=cmd_plot)

    p = commands.add_parser("demo", help="recognise a simulated session live")
    p.add_argument("--seconds", type=_positive(float), default=40.0, help="stream length (40)")
    p.add_argument("--speed", type=_positive(float), default=2.0, help="x real time (2)")
    p.add_argument("--seed", type=int, default=7, help="session seed (7)")
    _model_options(p, required=False)
    p.set_defaults(handler=cmd_demo)
    return parser


# Packages of the `app` extra: the progress bars and the pictures.
OPTIONAL_PACKAGES = {"tqdm", "matplotlib"}


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return int(exit_.code or 0)
    if (getattr(args, "model", None) is None) != (getattr(args, "encoder", None) is None):
        return _fail(args.command, "give --model and --encoder together", 2)
    try:
        args.handler(args)
    except WorkbenchError as err:
        return _fail(args.command, str(err), 1)
    except ImportError as err:
        return _fail(args.command, _import_problem(err), 1)
    except OSError as err:
        where = f"{err.filename}: " if err.filename else ""
        return _fail(args.command, where + (err.strerror or str(err)), 1)
    except KeyboardInterrupt:
        return _fail(args.command, "interrupted", 130)
    return 0


def _import_problem(err: ImportError) -> str:
    """One line for a missing optional package or an unbuilt native module; re-raise the rest."""
    if err.name in OPTIONAL_PACKAGES:
        return f"this command needs {err.name}: pip install 'velmorakit[app]'"
    if (err.name or "").startswith("velmorakit.middleware"):
        return f"velmorakit's native modules are not importable ({err}); run `pip install .`"
    raise err


def _fail(command: str, message: str, code: int) -> int:
    print(f"velmorakit {command}: error: {message}", file=sys.stderr)
    return code
