"""The `plot` command: a recording with its truth and the engine's results, side by side."""

from pathlib import Path

from ...models.rejection import NO_GESTURE
from ..errors import WorkbenchError
from .options import (
    SERVICE_DEFAULTS,
    add_engine_options,
    engine_passes,
    gesture_classes,
    load_model,
    model_files,
    png_output,
    positive,
    recording_inputs,
    seconds,
    within,
)

PAGE_S = 30.0
MAX_PAGES = 100  # more pages than anyone reads: asked for with --pages or --force


def cmd_plot(args) -> None:
    from ...conditioning import SAMPLE_RATE
    from ..learning.segments import filtered_speed
    from ..outputs import refuse_inputs_as_outputs
    from ..progress import progress
    from ..recordings.recording import read_recording

    out = png_output(args.output)
    recording = read_recording(args.recording)
    rows = len(recording.samples)
    first = round(args.start * SAMPLE_RATE)
    if not 0 <= first < rows:
        raise WorkbenchError(f"--start {args.start} s is outside the recording")
    page = round((args.seconds or PAGE_S) * SAMPLE_RATE)
    last = min(rows, first + page) if args.seconds else rows
    starts = list(range(first, last, page))[: args.pages]
    if len(starts) > MAX_PAGES and not (args.pages or args.force):
        raise WorkbenchError(
            f"{len(starts)} pages of {PAGE_S:g} s: choose a stretch with --start, --seconds or "
            f"--pages, or give --force to write them all"
        )
    paths = (
        [out]
        if len(starts) == 1
        else [out.with_name(f"{out.stem}-{k + 1:02d}{out.suffix}") for k in range(len(starts))]
    )
    refuse_inputs_as_outputs(recording_inputs([args.recording]) + model_files(args), paths)
    if len(paths) > 1:
        print(f"writing {len(paths)} pages of {page / SAMPLE_RATE:g} s", flush=True)
    truth, results, source = _plot_contents(args, recording)
    speed, threshold = filtered_speed(recording.samples)
    from ..assessment.plotting import label_colours, plot_recording

    colours = label_colours([t[2] for t in truth] + [r[2] for r in results])
    name = Path(args.recording).name
    pages = zip(starts, paths, strict=True)
    bar = progress(pages, total=len(paths), desc="plotting", unit="page", disable=None)
    for k, (begin, path) in enumerate(bar):
        end = min(begin + page, last)
        lanes = _page_lanes(truth, results, begin, end, "model" if args.model else "segments")
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
    from ..recordings.groundtruth import load_scorable_events

    events = load_scorable_events(args.recording, recording) or []
    if args.model:
        from ..assessment.scoring import MISSED, SHORT_REASONS, Thresholds, outcomes, reached

        model, config = load_model(args)
        classes = gesture_classes(model)
        (part,) = engine_passes([(args.recording, recording, events)], config, classes, "plotting")
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
        results = [
            (s.start, s.end, s.label or NO_GESTURE, s.index, k in taken)
            for k, s in enumerate(segments)
        ]
        return truth, results, "from the model"
    from ..learning.segments import extract, segment_labels

    _, bounds = extract(
        recording.samples, max(args.num_sample or SERVICE_DEFAULTS["num_sample"], 1)
    )
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


def _page_lanes(truth, results, begin: int, end: int, results_name: str):
    from ..assessment.plotting import Lanes

    lanes = Lanes(results_name=results_name)
    for start, stop, label, reason in truth:
        if stop > begin and start < end:
            if reason:
                lanes.missed.append((len(lanes.truth), reason))
            lanes.truth.append((start - begin, stop - begin, label))
    for start, stop, label, row, taken in results:
        if stop >= begin and start < end:
            lanes.results.append((start - begin, stop - begin, label, row - begin, taken))
    return lanes


def register(commands) -> None:
    p = commands.add_parser("plot", help="draw a recording, its truth and the model's results")
    p.add_argument("recording", help="CSV recording")
    p.add_argument(
        "-o",
        "--output",
        default="recording.png",
        help="PNG to write; long recordings go to numbered pages (recording.png)",
    )
    add_engine_options(p, model_required=False)
    p.add_argument(
        "--start", type=within(0, 1e7, unit=" seconds"), default=0.0, help="first second shown (0)"
    )
    p.add_argument("--seconds", type=seconds, help=f"seconds shown (all, in pages of {PAGE_S:g})")
    p.add_argument("--pages", type=positive(int), help="write at most this many pages")
    p.add_argument(
        "--force", action="store_true", help=f"write more than {MAX_PAGES} pages if need be"
    )
    p.set_defaults(handler=cmd_plot)
