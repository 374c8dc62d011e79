"""`velmorakit record`: a guided session that records your own gestures from a live source.

A countdown, then "now: <gesture>" and a rest prompt per take, in random order, with a
live speed bar so that you see the sensor is alive. It writes the recording and its
ground truth, ready for `shape` and `train`; Ctrl-C stops it and keeps what was recorded.
"""

import sys
import time

from ...conditioning import SAMPLE_RATE
from ..errors import WorkbenchError
from .options import positive
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
    p.add_argument(
        "--gestures", default="up,down,left,right", help="labels to prompt (up,down,left,right)"
    )
    p.add_argument("--takes", type=positive(int), default=10, help="takes per gesture (10)")
    p.add_argument("--gesture-seconds", type=positive(float), default=2.0, help="(2)")
    p.add_argument("--rest-seconds", type=positive(float), default=2.0, help="(2)")
    p.add_argument("--seed", type=int, help="order of the prompts (random)")
    p.set_defaults(handler=cmd_record)


def cmd_record(args) -> int:
    from ..recordings.guided_session import plan_session
    from ..sources.process import SourceProcess, children_ignore_ctrl_c

    gestures = [g.strip() for g in args.gestures.split(",") if g.strip()]
    plan = plan_session(
        gestures, args.takes, args.seed, gesture_s=args.gesture_seconds, rest_s=args.rest_seconds
    )
    settings = settings_from_args(args)
    source = SourceProcess(settings)
    screen = Screen(plan, sys.stdout.isatty())
    rows, interrupted = [], False
    try:
        source.start()
        if source.wait_ready():  # what arrives before the port is open is lost
            takes = len(plan.prompts)
            print(f"recording from {settings.description}: {takes} takes; Ctrl-C stops", flush=True)
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
        print(f"the source ended after {len(rows) / SAMPLE_RATE:.1f} s")
    counters = source.counters
    late = int(counters.sent) - len(rows)
    print(
        f"source: {int(counters.read)} rows read, {counters.dropped} dropped, "
        f"{int(counters.sent)} rows sent at 50 Hz, {len(rows)} recorded"
        + (f" ({late} after the end of the session)" if late > 0 else "")
    )
    if rows:
        _write(args.output, rows, plan)
    elif interrupted:
        print("nothing was recorded")
    elif not failure:
        raise WorkbenchError("nothing was recorded: the source sent no rows")
    if failure:  # raised once what was collected is written
        raise WorkbenchError(failure)
    return INTERRUPTED if interrupted else 0


def _collect(receiver, rows: list, plan, screen) -> bool:
    """Receive rows until the plan is done; True if the source ended before that."""
    while len(rows) < plan.total_rows:
        if receiver.poll(POLL_S):
            try:
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
    from ..recordings.recording import truth_path, write_recording, write_truth

    samples = np.array(rows, dtype=float).reshape(-1, 6)
    finished = [p for p in plan.prompts if p.end <= len(samples)]
    events, missed = locate_gestures(samples, finished, plan.rest_rows)
    write_recording(path, samples, row_labels(len(samples), events))
    write_truth(truth_path(path), events)
    print(
        f"wrote {path}: {len(samples)} samples, {len(events)} gestures; "
        f"ground truth in {truth_path(path)}"
    )
    if missed:
        takes = ", ".join(f"{p.label} at {p.start / SAMPLE_RATE:.1f} s" for p in missed)
        print(f"no motion found for {len(missed)} take(s), left out: {takes}")


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
