"""The `simulate`, `evaluate` and `plot` commands: their options and handlers."""

import argparse
import math
import sys
from pathlib import Path

from .errors import WorkbenchError

# Ten hours at 50 Hz is 1.8 million rows, some 90 MB in memory while it is written.
MAX_SIMULATED_S = 36_000.0
PAGE_S = 30.0
CONFIDENCE_GRID = (1, 2, 3, 4, 6, 10)
PROBABILITY_GRID = (0.4, 0.5, 0.6, 0.7, 0.8, 0.9)


def _number(text: str, low: float, high: float, what: str, kind=float):
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{what}: {text}")
    return value


def _seconds(text: str) -> float:
    value = _number(text, 0, MAX_SIMULATED_S, f"must lie in (0, {MAX_SIMULATED_S:g}] seconds")
    if value == 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def _probability(text: str) -> float:
    return _number(text, 0, 1, "must lie between 0 and 1")


def _non_negative(text: str) -> float:
    return _number(text, 0, math.inf, "must be a finite number, 0 or more")


def _count(text: str) -> int:
    return _number(text, 0, math.inf, "must be 0 or more", int)


def png_output(path: str) -> Path:
    """`path` as a PNG file name: without a suffix `.png` is added; another suffix is an
    error. Its directory is created if need be."""
    out = Path(path)
    if out.suffix == "":
        out = out.with_name(out.name + ".png")
    elif out.suffix.lower() != ".png":
        raise WorkbenchError(f"{path}: pictures are written as PNG; give a name ending in .png")
    out.parent.mkdir(parents=True, exist_ok=True)
    return out


def warn(command: str, message: str) -> None:
    print(f"velmorakit {command}: warning: {message}", file=sys.stderr)


def cmd_simulate(args) -> None:
    from .recordings import truth_path, write_recording, write_truth
    from .synthetic import simulate_session

    session = simulate_session(args.seconds, args.seed)
    Path(args.output).parent.mkdir(parents=True, exist_ok=True)
    write_recording(args.output, session.samples, session.labels)
    write_truth(truth_path(args.output), session.events)
    print(
        f"wrote {args.output}: {len(session.samples)} samples, {len(session.events)} gestures; "
        f"ground truth in {truth_path(args.output)}"
    )


def _config(args):
    from ..models.gesture import GestureConfig

    return GestureConfig(
        str(args.model), str(args.encoder), args.num_sample, args.confidence_th, args.prob_th
    )


def _scorable(command: str, paths, classes):
    """(path, recording, events) of each recording that can be scored, with warnings."""
    from .groundtruth import load_scorable_events, unknown_label_notes
    from .recordings import read_recording, recording_paths, truth_path

    inputs = []
    for path in recording_paths(paths):
        recording = read_recording(path)
        events = load_scorable_events(path, recording)
        if events is None:
            warn(command, f"{path}: cannot be scored: no {truth_path(path).name}, no label column")
            continue
        for note in unknown_label_notes(events, classes):
            warn(command, f"{path}: label {note}; left out of the scores")
        inputs.append((path, recording, events))
    return inputs


def _passes(inputs, config, classes, desc: str):
    """Run the engine once over each recording, with one progress bar over all their rows."""
    from tqdm import tqdm

    from ..middleware.utilities.velmora_computing import VelmoraComputing
    from .evaluation import run_engine
    from .scoring import attribute

    parts = []
    rows = sum(len(recording.samples) for _, recording, _ in inputs)
    with tqdm(total=rows, desc=desc, unit="sample", unit_scale=True, disable=None) as bar:
        for path, recording, events in inputs:
            engine = VelmoraComputing(config.model_path, config.encoder_path)
            engine_pass = run_engine(engine, recording.samples, config, bar.update)
            parts.append(attribute(Path(path).name, engine_pass, events, classes))
    return parts


def cmd_evaluate(args) -> None:
    from .reports import evaluation_summary, sweep_table, write_outcomes
    from .scoring import Thresholds, score, sweep
    from .training import load_model_pair

    pngs = [png_output(p) if p else None for p in (args.confusion_png, args.sweep_png)]
    model, _ = load_model_pair(args.model, args.encoder)
    classes = [str(c) for c in model.classes_]
    config = _config(args)
    inputs = _scorable("evaluate", args.recordings, classes)
    if not inputs:
        raise WorkbenchError("none of the recordings can be scored")
    parts = _passes(inputs, config, classes, "evaluating")
    chosen = Thresholds(args.confidence_th, args.prob_th, args.poll_interval)
    result = score(parts, classes, chosen)
    print(
        f"batches of {args.num_sample} samples, confidence >= {args.confidence_th:g}, "
        f"probability >= {args.prob_th:g}, application polling every {args.poll_interval:g} s"
    )
    print(evaluation_summary(result))
    confidences = sorted({*CONFIDENCE_GRID, args.confidence_th})
    probabilities = sorted({*PROBABILITY_GRID, args.prob_th})
    grid = sweep(parts, classes, confidences, probabilities, args.poll_interval)
    print(sweep_table(grid))
    if args.outcomes_csv:
        Path(args.outcomes_csv).parent.mkdir(parents=True, exist_ok=True)
        write_outcomes(args.outcomes_csv, result)
        print(f"wrote {args.outcomes_csv}")
    confusion_png, sweep_png = pngs
    if confusion_png or sweep_png:
        import numpy as np

        from .plotting import plot_confusion, plot_sweep

        if confusion_png:
            rate = f"{result.recognition_rate:.1%}" if result.gestures else "no gestures"
            title = f"{rate} recognised, {result.spurious} spurious"
            plot_confusion(confusion_png, result.confusion, result.classes, title)
            print(f"wrote {confusion_png}")
        if sweep_png:
            # Finer than the printed table: the pass is done, each point only re-scores it.
            fine = sorted({*np.round(np.arange(0.3, 0.96, 0.05), 2).tolist(), args.prob_th})
            curves = sweep(parts, classes, confidences, fine, args.poll_interval)
            title = f"{result.gestures} gestures in {len(parts)} recording(s), threshold sweep"
            plot_sweep(sweep_png, curves, (args.confidence_th, args.prob_th), title)
            print(f"wrote {sweep_png}")


def cmd_plot(args) -> None:
    from .recordings import read_recording
    from .segments import filtered_speed
    from .synthetic import SAMPLE_RATE

    out = png_output(args.output)
    recording = read_recording(args.recording)
    rows = len(recording.samples)
    first = round(args.start * SAMPLE_RATE)
    if not 0 <= first < rows:
        raise WorkbenchError(f"--start {args.start} s is outside the recording")
    truth, results, source = _plot_contents(args, recording)
    speed, threshold = filtered_speed(recording.samples)
    page = round((args.seconds or PAGE_S) * SAMPLE_RATE)
    last = min(rows, first + page) if args.seconds else rows
    starts = list(range(first, last, page))
    paths = (
        [out]
        if len(starts) == 1
        else [out.with_name(f"{out.stem}-{k + 1:02d}{out.suffix}") for k in range(len(starts))]
    )
    from .plotting import label_colours, plot_recording

    colours = label_colours([t[2] for t in truth] + [r[2] for r in results])
    name = Path(args.recording).name
    for k, (begin, path) in enumerate(zip(starts, paths, strict=True)):
        end = min(begin + page, last)
        lanes = _page_lanes(truth, results, begin, end)
        missed = len(lanes.missed)
        title = f"{name}, {begin / SAMPLE_RATE:.0f}-{end / SAMPLE_RATE:.0f} s: " + (
            f"{len(lanes.truth)} gestures, {missed} missed; results {source}"
        )
        if len(paths) > 1:
            title += f" (page {k + 1} of {len(paths)})"
        plot_recording(
            path,
            recording.samples[begin:end],
            speed[begin:end],
            threshold,
            lanes,
            colours,
            title,
            start_s=begin / SAMPLE_RATE,
        )
    shown = f"{paths[0]}" if len(paths) == 1 else f"{paths[0]} ... {paths[-1]}"
    print(
        f"wrote {shown}"
        + (f" ({len(paths)} pages of {page / SAMPLE_RATE:g} s)" if len(paths) > 1 else "")
    )


def _plot_contents(args, recording):
    """(truth, results, source): truth as (start, end, label, short miss reason or ""),
    results as (start, end, label, row, delivered)."""
    from .groundtruth import load_scorable_events

    events = load_scorable_events(args.recording, recording) or []
    if args.model:
        from .scoring import MISSED, SHORT_REASONS, Thresholds, outcomes, reached
        from .training import load_model_pair

        model, _ = load_model_pair(args.model, args.encoder)
        classes = [str(c) for c in model.classes_]
        (part,) = _passes([(args.recording, recording, events)], _config(args), classes, "plotting")
        thresholds = Thresholds(args.confidence_th, args.prob_th, args.poll_interval)
        found, _ = outcomes(part, thresholds)
        truth = [
            (
                o.event.start,
                o.event.end,
                o.event.label,
                SHORT_REASONS.get(o.reason, "missed") if o.outcome == MISSED else "",
            )
            for o in found
        ]
        segments = part.engine_pass.segments
        _, taken = reached(segments, thresholds)
        results = [(s.start, s.end, s.label, s.index, k in taken) for k, s in enumerate(segments)]
        return truth, results, "from the model"
    from .segments import extract, segment_labels

    _, bounds = extract(recording.samples, max(args.num_sample, 1))
    labels = segment_labels(bounds, recording.labels)
    results = [
        (int(a), int(b), label, int(b), True) for (a, b), label in zip(bounds, labels, strict=True)
    ]
    truth = [
        (
            ev.start,
            ev.end,
            ev.label,
            "" if any(min(ev.end, b + 1) > max(ev.start, a) for a, b in bounds) else "no segment",
        )
        for ev in events
    ]
    return truth, results, "are segments named by the recording's labels"


def _page_lanes(truth, results, begin: int, end: int):
    from .plotting import Lanes

    lanes = Lanes()
    for start, stop, label, reason in truth:
        if stop > begin and start < end:
            if reason:
                lanes.missed.append((len(lanes.truth), reason))
            lanes.truth.append((start - begin, stop - begin, label))
    for start, stop, label, row, taken in results:
        if stop >= begin and start < end:
            lanes.results.append((start - begin, stop - begin, label, row - begin, taken))
    return lanes


def _engine_options(p, model_required: bool) -> None:
    p.add_argument("--model", required=model_required, help="pickled classifier")
    p.add_argument("--encoder", required=model_required, help="pickled label encoder")
    p.add_argument("--num-sample", type=_count, default=10, help="samples per engine cycle (10)")
    p.add_argument(
        "--confidence-th",
        type=_non_negative,
        default=2.0,
        help="least confidence: best class probability over the second best, rounded down (2)",
    )
    p.add_argument("--prob-th", type=_probability, default=0.6, help="least probability (0.6)")
    p.add_argument(
        "--poll-interval",
        type=_non_negative,
        default=0.1,
        help="seconds between the application's polls of the one-slot result queue; a result "
        "replaced before a poll is lost; 0 polls after every cycle (0.1)",
    )


def register(commands) -> None:
    p = commands.add_parser("simulate", help="write a simulated, labelled recording (CSV)")
    p.add_argument("output", help="recording to write; the ground truth goes to *.truth.csv")
    p.add_argument(
        "--seconds", type=_seconds, default=120.0, help=f"length, at most {MAX_SIMULATED_S:g} (120)"
    )
    p.add_argument("--seed", type=int, default=0, help="random seed (0)")
    p.set_defaults(handler=cmd_simulate)

    p = commands.add_parser("evaluate", help="score the engine on labelled recordings")
    p.add_argument("recordings", nargs="+", help="CSV recordings (truth from *.truth.csv)")
    _engine_options(p, model_required=True)
    p.add_argument("--outcomes-csv", help="write what happened to every true gesture here")
    p.add_argument("--confusion-png", help="draw the confusion matrix into this PNG")
    p.add_argument("--sweep-png", help="draw recall and spurious share over the thresholds")
    p.set_defaults(handler=cmd_evaluate)

    p = commands.add_parser("plot", help="draw a recording, its truth and the model's results")
    p.add_argument("recording", help="CSV recording")
    p.add_argument(
        "-o",
        "--output",
        default="recording.png",
        help="PNG to write; long recordings go to numbered pages (recording.png)",
    )
    _engine_options(p, model_required=False)
    p.add_argument("--start", type=_non_negative, default=0.0, help="first second shown (0)")
    p.add_argument("--seconds", type=_seconds, help=f"seconds shown (all, in pages of {PAGE_S:g})")
    p.set_defaults(handler=cmd_plot)
