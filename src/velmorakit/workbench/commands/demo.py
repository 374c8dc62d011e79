"""Live demo: the gesture service recognising a simulated session streamed through a pipe.

A source process replays the session into the sensor pipe at 50 Hz (times `speed`) and
closes it at the end; the service's worker reads it like a real sensor, and this process
polls the service and prints each gesture next to the ground truth as it arrives, on
standard output; the banner and the summary go to standard error. Ctrl-C reaches only this
process, which stops the others and exits with 130 after the summary.
"""

import logging
import sys
import time
from dataclasses import dataclass, field

import numpy as np

from ...conditioning import SAMPLE_RATE
from ...middleware.velmora_gesture import VelmoraGesture
from ...models.gesture import GestureConfig
from ..errors import WorkbenchError
from ..simulation.synthetic import GestureEvent, simulate_session
from ..sources.kinds import SourceSettings
from ..sources.process import SourceProcess, children_ignore_ctrl_c
from .options import add_cycle_options, add_model_options, seconds, seed, within
from .worker_log import parent_logging_kept

POLL_S = 0.005
INTERRUPTED = 130
WINDOW = 100  # samples the engine sees at once: a result can only concern these
TAIL_S = 1.5  # rest streamed after the session, so that a last stroke can be segmented


@dataclass
class DemoTally:
    events: list[GestureEvent]
    matched: dict[int, str] = field(default_factory=dict)  # event index -> reported label
    spurious: int = 0
    latencies_s: list[float] = field(default_factory=list)

    def attribute(self, sent: int) -> int | None:
        """The latest gesture not yet reported that had begun and is still in the window."""
        for k in range(len(self.events) - 1, -1, -1):
            event = self.events[k]
            if event.start < sent and event.end > sent - WINDOW and k not in self.matched:
                return k
        return None

    @property
    def correct(self) -> int:
        return sum(self.events[k].label == label for k, label in self.matched.items())

    def summary(self, sent: int) -> str:
        due = [k for k, e in enumerate(self.events) if e.end <= sent]
        missed = sum(k not in self.matched for k in due)
        wrong = len(self.matched) - self.correct
        lines = [
            f"{len(due)} gestures: {self.correct} recognised, {wrong} misclassified, "
            f"{missed} missed, {self.spurious} spurious "
            f"(accuracy {self.correct / max(len(due), 1):.0%})"
        ]
        if self.latencies_s:
            ms = 1000 * np.asarray(self.latencies_s)
            lines.append(
                f"latency from the end of a stroke to its result: "
                f"median {np.median(ms):.0f} ms, max {ms.max():.0f} ms"
            )
        return "\n".join(lines)


def _line(t: float, gesture, event: GestureEvent | None) -> str:
    head = (
        f"{t:6.1f} s  {gesture.name:<9} p={gesture.probability:.3f}  "
        f"conf={gesture.confidence:<6} disp={gesture.displacement:+.2f} m"
    )
    if event is None:
        return f"{head}   | truth: (no gesture)  SPURIOUS"
    mark = "ok" if event.label == gesture.name else "WRONG"
    return f"{head}   | truth: {event.label:<9} {event.signed_distance:+.2f} m  {mark}"


def run_demo(config: GestureConfig, seconds: float, speed: float, seed: int) -> int:
    """Stream the session through the service; 0, or 130 when Ctrl-C ended it early."""
    session = simulate_session(seconds, seed)
    rate = SAMPLE_RATE * speed
    logger = logging.getLogger("velmorakit.demo")
    logger.setLevel(logging.WARNING)

    rest = np.zeros((round(TAIL_S * SAMPLE_RATE), 6))
    rows = np.vstack([session.samples, rest]).tolist()
    source = SourceProcess(SourceSettings("rows", rows=rows, speed=speed))
    tally = DemoTally(session.events)
    _say(f"streaming {seconds:g} s of simulated gestures at {speed:g}x real time (seed {seed})")
    service, interrupted = None, False
    try:
        source.start()
        with children_ignore_ctrl_c(), parent_logging_kept():
            service = VelmoraGesture(config, source.receiver, logger)
            service.start()
        source.receiver.close()  # the worker holds its own copy
        _follow(service, tally, source.counters, rate)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        with children_ignore_ctrl_c():
            source.stop()
            if service is not None:
                service.terminate()
    _say(tally.summary(int(source.counters.sent)))
    return INTERRUPTED if interrupted else 0


def _say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def _follow(service, tally: DemoTally, counters, rate: float) -> None:
    """Poll the service until its worker has read the whole session."""
    while True:
        alive = service.process.is_alive()
        gesture = service.gesture()
        if gesture is not None:
            _report(gesture, tally, counters, rate)
        elif not alive:
            break
        else:
            time.sleep(POLL_S)
    if service.process.exitcode != 0:
        raise WorkbenchError(
            f"the gesture worker stopped unexpectedly (exit code {service.process.exitcode})"
        )


def _report(gesture, tally: DemoTally, counters, rate: float) -> None:
    now, position = time.monotonic(), int(counters.sent)
    k = tally.attribute(position)
    if k is None:
        tally.spurious += 1
    else:
        tally.matched[k] = gesture.name
        if tally.events[k].label == gesture.name:
            stroke_end = counters.started + (tally.events[k].end - 1) / rate
            tally.latencies_s.append(now - stroke_end)
    event = tally.events[k] if k is not None else None
    print(_line(position / SAMPLE_RATE, gesture, event), flush=True)


def cmd_demo(args) -> int:
    from ..learning.default_model import default_bundle
    from .options import load_model

    bundle = None
    if not args.model:
        bundle, report = default_bundle()
        if report is None:
            _say(f"using the cached default model {bundle.path}")
        else:
            chosen = next(s for s in report.scores if s.name == report.chosen)
            kept = (
                f"cached as {bundle.path}"
                if bundle.path.is_dir()
                else "not cached, as there is no usable cache directory"
            )
            _say(
                f"trained the default model ({report.chosen}) on {report.gestures} simulated "
                f"gestures (cross-validated accuracy {chosen.accuracy:.1%}), {kept}"
            )
    _, config = load_model(args, bundle)
    return run_demo(config, args.seconds, args.speed, args.seed)


def register(commands) -> None:
    p = commands.add_parser("demo", help="recognise a simulated session live")
    p.add_argument("--seconds", type=seconds, default=40.0, help="stream length (40)")
    p.add_argument(
        "--speed", type=within(0.01, 1000), default=2.0, help="x real time, 0.01 to 1000 (2)"
    )
    p.add_argument("--seed", type=seed, default=7, help="session seed (7)")
    add_model_options(p, required=False)
    add_cycle_options(p)
    p.set_defaults(handler=cmd_demo)
