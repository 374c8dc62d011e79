"""`velmorakit shape`: recordings cut into labelled segment vectors, as the worker cuts them."""

from collections import Counter
from pathlib import Path

from ..errors import WorkbenchError

DEFAULT_SEGMENTS = "segments.npz"
WORKER_NUM_SAMPLE = 10  # the service's default batch: samples read per recognition cycle
# The cycle that segments are cut for, and so the bundle's num_sample: a cycle every 0.1 s
# gives results about 0.05 s sooner than every 0.2 s, for microseconds of work per cycle.
DEFAULT_STEP = 5


def run_shape(args) -> None:
    import numpy as np

    from ..learning.segment_file import SegmentFileWriter
    from ..learning.segments import FEATURES, segments_path, shape_phases
    from ..outputs import refuse_inputs_as_outputs
    from ..progress import progress
    from ..recordings.groundtruth import load_scorable_events
    from ..recordings.recording import read_recording, recording_paths
    from ..stalls import clearing_gaps
    from .options import label_counts, output_path, warn

    recordings = recording_paths(args.recordings)
    output = segments_path(output_path(args.output))
    refuse_inputs_as_outputs(recordings, [output])
    # Each phase's segments go to the writer as they are cut: only the small arrays stay in
    # memory, whatever the length of the recordings.
    labels, gestures, dropped, cleared, truth = [], set(), 0, 0, 0
    truth_labels = Counter()
    with SegmentFileWriter(output.parent, FEATURES) as writer:
        for path in progress(recordings, desc="shaping", unit="recording", disable=None):
            recording = read_recording(path)
            events = load_scorable_events(path, recording) or []
            breaks = clearing_gaps(recording.gaps, args.step)
            cleared += len(breaks)
            truth += len(events)
            truth_labels.update(event.label for event in events)
            for part in shape_phases(
                recording.samples,
                events,
                Path(path).name,
                args.step,
                not args.one_phase,
                breaks,
                str(Path(path).resolve()),
            ):
                writer.add(part)
                labels.append(part.labels)
                gestures.update(zip(part.sources, part.gestures, strict=True))
                dropped += len(part.unlabelled)
        segments = sum(map(len, labels))
        if not segments:
            raise WorkbenchError("no segment covers a labelled row: nothing to write")
        written = writer.save(output)
    phases = 1 if args.one_phase else args.step
    cut = np.concatenate(labels)
    print(f"wrote {written}: {segments} segments of {len(gestures)} gestures ({label_counts(cut)})")
    print(f"cut with a cycle every {args.step} samples, at {phases} phase(s)")
    if len(gestures) < truth:
        print(
            f"{truth - len(gestures)} of the {truth} true gestures gave no segment (see "
            "`evaluate` or `plot` for why): not trained on"
        )
    for label in sorted(set(truth_labels) - set(cut.tolist())):
        warn(
            "shape",
            f"none of the {truth_labels[label]} {label!r} gestures gave a segment, so no model "
            "can learn it: the engine cuts a gesture at a peak of the speed, which a gesture "
            "too small or too slow never reaches, nor one that only turns the sensor once a "
            "gyroscope has taken gravity out (import it without the gyroscope columns)",
        )
    if cleared:
        print(
            f"no segment spans any of {cleared} sensor gap(s) long enough to stall the worker, "
            "which clears its window there"
        )
    if dropped:
        print(
            f"kept apart {dropped} segment(s) that overlap no true gesture: motion that is no "
            "gesture, which `train` learns as a class of its own"
        )


def register(commands) -> None:
    from .options import WINDOW_ROWS, within

    p = commands.add_parser("shape", help="cut recordings into labelled segment vectors (.npz)")
    p.add_argument(
        "recordings",
        nargs="+",
        help="CSV recordings; the gestures come from each one's *.truth.csv, else from the "
        "runs of its labels",
    )
    p.add_argument("-o", "--output", default=DEFAULT_SEGMENTS, help=f"({DEFAULT_SEGMENTS})")
    p.add_argument(
        "--step",
        type=within(1, WINDOW_ROWS, int),
        default=DEFAULT_STEP,
        help=f"samples per recognition cycle, the service's num_sample, 1 to {WINDOW_ROWS} "
        f"({DEFAULT_STEP})",
    )
    p.add_argument(
        "--one-phase",
        action="store_true",
        help="cut each recording once, with cycles from its first row; by default it is cut "
        "at every phase of the cycle, as a worker that started at any moment would see it",
    )
    p.set_defaults(handler=run_shape)
