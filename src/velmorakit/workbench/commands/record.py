"""`velmorakit record`: a guided session that records your own gestures from a live source.

A countdown, then "now: <gesture>" and a rest prompt per take, in random order, with a
live speed bar so that you see the sensor is alive, on standard output; the banner and the
report go to standard error. It writes the recording and its ground truth, ready for
`shape` and `train`; Ctrl-C stops it and keeps what was recorded. Where the recording goes
is checked before the first prompt, so that a session is never recorded for nothing.
"""

import sys
import time
from pathlib import Path

from ...conditioning import SAMPLE_RATE
from ..errors import WorkbenchError
from ..outputs import ctrl_c_held
from .options import seed, within
from .source_options import add_source_options, settings_from_args

INTERRUPTED = 130
BAR_WIDTH = 30
BAR_FULL_M_S = 1.5  # speed that fills the bar
REDRAW_S = 0.05
POLL_S = 0.05


def register(commands) -> None:
    p = commands.add_parser("record", help="record your own gestures, guided by prompts")
    add_source_options(p)
    p.add_argument("-o", "--output", required=True, help="recording to write (CSV)")
    p.add_argument("--force", action="store_true", help="replace an existing recording")
    p.add_argument(
        "--gestures", default="up,down,left,right", help="labels to prompt (up,down,left,right)"
    )
    p.add_argument(
        "--takes", type=within(1, 1000, int), default=10, help="takes per gesture, 1 to 1000 (10)"
    )
    take_s = within(0.5, 60, unit=" seconds")
    p.add_argument("--gesture-seconds", type=take_s, default=2.0, help="0.5 to 60 (2)")
    p.add_argument("--rest-seconds", type=take_s, default=2.0, help="0.5 to 60 (2)")
    p.add_argument("--seed", type=seed, help="order of the prompts (random)")
    p.set_defaults(handler=cmd_record)


def cmd_record(args) -> int:
    from ..recordings.guided_session import plan_session
    from ..sources.process import SourceProcess, children_ignore_ctrl_c

    gestures = [g.strip() for g in args.gestures.split(",") if g.strip()]
    plan = plan_session(
        gestures, args.takes, args.seed, gesture_s=args.gesture_seconds, rest_s=args.rest_seconds
    )
    settings = settings_from_args(args)
    _check_output(args.output, args.force, settings)
    source = SourceProcess(settings)
    screen = Screen(plan, sys.stdout.isatty())
    rows, interrupted = [], False
    try:
        source.start()
        if source.wait_ready():  # what arrives before the port is open is lost
            takes = len(plan.prompts)
            _say(f"recording from {settings.description}: {takes} takes; Ctrl-C stops")
        ended = _collect(source.receiver, rows, plan, screen)
    except KeyboardInterrupt:
        interrupted, ended = True, False
    finally:
        with children_ignore_ctrl_c():
            source.stop()
            if interrupted:
                _drain(source.receiver, rows, plan)  # rows already in the pipe are kept too
    screen.close()
    failure = source.failure()
    if failure and not source.counters.ready:
        raise WorkbenchError(failure)
    if ended and not failure:
        _say(f"the source ended after {len(rows) / SAMPLE_RATE:.1f} s")
    counters = source.counters
    late = int(counters.sent) - len(rows)
    _say(
        f"source: {int(counters.read)} rows read, {counters.dropped} dropped, "
        f"{int(counters.sent)} rows sent at 50 Hz, {len(rows)} recorded"
        + (f" ({late} after the end of the session)" if late > 0 else "")
    )
    if rows:
        with ctrl_c_held():  # a second Ctrl-C waits until the session is on disk
            _write(args.output, rows, plan)
    elif interrupted:
        _say("nothing was recorded")
    elif not failure:
        raise WorkbenchError("nothing was recorded: the source sent no rows")
    if failure:  # raised once what was collected is written
        raise WorkbenchError(failure)
    return INTERRUPTED if interrupted else 0


def _say(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


def _check_output(output: str, force: bool, settings) -> None:
    """Refuse, before the first prompt, an output that would replace the replayed file or an
    earlier session, or that cannot be written."""
    from ..outputs import check_writable_directory, refuse_inputs_as_outputs
    from ..recordings.recording import truth_path

    replayed = [settings.target] if settings.kind == "file" else []
    refuse_inputs_as_outputs(replayed, [output, truth_path(output)])
    if Path(output).exists() and not force:
        raise WorkbenchError(f"{output}: exists; give --force to replace it, or choose another -o")
    check_writable_directory(output)


def _collect(receiver, rows: list, plan, screen) -> bool:
    """Receive rows until the plan is done; True if the source ended before that."""
    while len(rows) < plan.total_rows:
        if receiver.poll(POLL_S):
            try:
                # A row received is a row kept: Ctrl-C takes effect between batches, never
                # between taking a row from the pipe and keeping it.
                with ctrl_c_held():
                    while receiver.poll(0) and len(rows) < plan.total_rows:
                        rows.append(receiver.recv())
            except EOFError:
                return True
        screen.show(len(rows), rows[-1] if rows else None)
    return False


def _drain(receiver, rows: list, plan) -> None:
    try:
        while len(rows) < plan.total_rows and receiver.poll(0):
            rows.append(receiver.recv())
    except (EOFError, OSError):
        pass


def _write(path: str, rows: list, plan) -> None:
    import numpy as np

    from ..recordings.guided_session import locate_gestures, row_labels
    from ..recordings.recording import truth_path, write_with_truth

    samples = np.array(rows, dtype=float).reshape(-1, 6)
    finished = [p for p in plan.prompts if p.end <= len(samples)]
    events, missed = locate_gestures(samples, finished, plan.rest_rows)
    labels = row_labels(len(samples), events)
    try:
        write_with_truth(path, samples, labels, events)
    except (OSError, WorkbenchError) as err:  # the disk filled up, permissions changed
        reason = getattr(err, "strerror", None) or str(err)
        kept = _rescue(samples, labels, events)
        raise WorkbenchError(
            f"the session could not be written to {path} ({reason}); it is kept in {kept}"
        ) from None
    _say(
        f"wrote {path}: {len(samples)} samples, {len(events)} gestures; "
        f"ground truth in {truth_path(path)}"
    )
    if missed:
        takes = ", ".join(f"{p.label} at {p.start / SAMPLE_RATE:.1f} s" for p in missed)
        _say(f"no motion found for {len(missed)} take(s), left out: {takes}")


def _rescue(samples, labels, events) -> Path:
    """The session written into a new directory under the system's temporary directory."""
    import tempfile

    from ..recordings.recording import write_with_truth

    kept = Path(tempfile.mkdtemp(prefix="velmorakit-record-")) / "session.csv"
    write_with_truth(kept, samples, labels, events)
    return kept


class Screen:
    """The prompt and a live speed bar: redrawn in place on a terminal, else one line per
    prompt."""

    def __init__(self, plan, tty: bool):
        self.plan, self.tty = plan, tty
        self.last_text = None
        self.last_draw = 0.0

    def show(self, row: int, latest) -> None:
        phase, value = self.plan.phase(row)
        if phase == "countdown":
            text = f"get ready: {value}"
        elif phase == "now":
            text = f"now: {self.plan.prompts[value].label}  ({value + 1}/{len(self.plan.prompts)})"
        else:
            text = phase
        now = time.monotonic()
        if self.tty and (text != self.last_text or now - self.last_draw >= REDRAW_S):
            speed = sum(v * v for v in latest[3:6]) ** 0.5 if latest else 0.0
            filled = min(BAR_WIDTH, round(speed / BAR_FULL_M_S * BAR_WIDTH))
            bar = "#" * filled + " " * (BAR_WIDTH - filled)
            sys.stdout.write(f"\r{text:<28} |{bar}| {speed:4.2f} m/s")
            sys.stdout.flush()
            self.last_draw = now
        elif not self.tty and text != self.last_text:
            print(text, flush=True)
        self.last_text = text

    def close(self) -> None:
        if self.tty:
            sys.stdout.write("\n")
