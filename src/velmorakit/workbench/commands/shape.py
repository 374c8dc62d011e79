"""`velmorakit shape`: recordings cut into labelled segment vectors, as the worker cuts them."""

from pathlib import Path

from ..errors import WorkbenchError

DEFAULT_SEGMENTS = "segments.npz"
WORKER_NUM_SAMPLE = 10  # the service's usual batch: samples read per recognition cycle


def run_shape(args) -> None:
    import numpy as np

    from ..learning.segment_file import SegmentFileWriter
    from ..learning.segments import FEATURES, shape_phases
    from ..progress import progress
    from ..recordings.recording import read_recording, recording_paths
    from .options import label_counts, output_path

    # Each phase's segments go to the writer as they are cut: only the small arrays stay in
    # memory, and one recording at a time.
    paths = recording_paths(args.recordings)
    cuts = 1 if args.one_phase else args.step
    output = Path(output_path(args.output))
    labels, gestures, dropped = [], set(), 0
    bar = progress(total=len(paths) * cuts, desc="shaping", unit="cut", disable=None)
    with bar, SegmentFileWriter(output.parent, FEATURES) as writer:
        for path in paths:
            recording = read_recording(path)
            phases = shape_phases(
                recording.samples,
                recording.labels,
                Path(path).name,
                args.step,
                not args.one_phase,
                str(Path(path).resolve()),
            )
            del recording  # the phases copy the samples and then hold the only reference
            for part in phases:
                writer.add(part)
                labels.append(part.labels)
                gestures.update(zip(part.sources, part.gestures, strict=True))
                dropped += len(part.unlabelled)
                del part  # written: the next phase is cut without it in memory
                bar.update()
        if not sum(map(len, labels)):
            raise WorkbenchError("no segment covers a labelled row: nothing to write")
        writer.save(output)
    print(
        f"wrote {args.output}: {sum(map(len, labels))} segments of {len(gestures)} gestures "
        f"({label_counts(np.concatenate(labels))})"
    )
    print(f"cut with a cycle every {args.step} samples, at {cuts} phase(s)")
    if dropped:
        print(
            f"kept apart {dropped} segment(s) that cover no labelled row: not trained on, "
            "they count as spurious results when thresholds are chosen"
        )


def register(commands) -> None:
    from .options import positive

    p = commands.add_parser("shape", help="cut recordings into labelled segment vectors (.npz)")
    p.add_argument("recordings", nargs="+", help="CSV recordings with a label column")
    p.add_argument("-o", "--output", default=DEFAULT_SEGMENTS, help=f"({DEFAULT_SEGMENTS})")
    p.add_argument(
        "--step",
        type=positive(int),
        default=WORKER_NUM_SAMPLE,
        help=f"samples per recognition cycle, the service's num_sample ({WORKER_NUM_SAMPLE})",
    )
    p.add_argument(
        "--one-phase",
        action="store_true",
        help="cut each recording once, with cycles from its first row; by default it is cut "
        "at every phase of the cycle, as a worker that started at any moment would see it",
    )
    p.set_defaults(handler=run_shape)
