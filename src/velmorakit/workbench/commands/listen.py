"""`velmorakit listen`: the gesture service recognising a live source, one line per gesture.

The source runs as the producer process of the sensor pipe, the service's worker reads it,
and this process polls the service. Standard output carries only the results, one line
(or JSON object) each; the banner and the report go to standard error. On exit it reports
what the source read and dropped, the results shown, and the results that the service's
one-slot queue replaced before they could be shown (counted from the worker's log).
"""

import json
import logging
import sys
import time
from dataclasses import replace

from ...conditioning import SAMPLE_RATE
from ..errors import WorkbenchError
from .options import add_cycle_options, add_model_options, load_model
from .source_options import add_source_options, settings_from_args

POLL_S = 0.002
INTERRUPTED = 130


def register(commands) -> None:
    p = commands.add_parser("listen", help="recognise gestures live from a sensor source")
    add_source_options(p)
    add_model_options(p, required=True)
    add_cycle_options(p)
    p.add_argument("--json", action="store_true", help="one JSON object per line")
    p.set_defaults(handler=cmd_listen)


def cmd_listen(args) -> int:
    settings = settings_from_args(args)
    _, config = load_model(args)  # a bad model fails here, not in the worker
    # Samples without velocity get the estimate the model was trained with.
    settings = replace(
        settings, fmt=replace(settings.fmt, velocity_estimate=args.velocity_estimate)
    )
    if config.num_sample <= 0:
        raise WorkbenchError("--num-sample must be positive")
    check_replay_speed(settings.speed, config.num_sample)
    show = _json_line if args.json else _text_line
    session = ListenSession(settings, config)
    interrupted = session.run(show)
    failure = session.source.failure()
    if failure and not session.source.counters.ready:
        raise WorkbenchError(failure)
    print(session.report(), file=sys.stderr, flush=True)
    if failure:
        raise WorkbenchError(failure)
    if (session.worker_exitcode or 0) > 0:
        raise WorkbenchError(f"the gesture worker failed (exit code {session.worker_exitcode})")
    return INTERRUPTED if interrupted else 0


def check_replay_speed(speed: float | None, num_sample: int) -> None:
    """Refuse a replay so slow that every batch takes longer than the worker's stall limit:
    each would clear the engine's window, and nothing would ever be recognised."""
    from ..stalls import STALL_S, batch_seconds

    if speed and batch_seconds(num_sample, speed) > STALL_S:
        raise WorkbenchError(
            f"--speed {speed:g} brings a batch of {num_sample} samples in "
            f"{batch_seconds(num_sample, speed):.2f} s, over the worker's stall limit of "
            f"{STALL_S:g} s: every batch would clear the engine's window; replay faster than "
            f"{batch_seconds(num_sample) / STALL_S:.3g} (or lower --num-sample)"
        )


class ListenSession:
    def __init__(self, settings, config):
        self.settings, self.config = settings, config
        self.shown = self.accepted = 0
        self.worker_exitcode = None
        self.source = None

    def run(self, show) -> bool:
        """Recognise until the source ends or Ctrl-C; True when interrupted."""
        from ...middleware.velmora_gesture import VelmoraGesture
        from ..sources.process import SourceProcess, children_ignore_ctrl_c
        from .worker_log import WorkerLog, parent_logging_kept

        self.source = source = SourceProcess(self.settings)
        logger = logging.getLogger("velmorakit.listen")
        logger.setLevel(logging.DEBUG)  # the worker logs each accepted result: counted below
        worker_log = WorkerLog()
        interrupted = False
        service = None
        try:
            source.start()
            if source.wait_ready():  # what arrives before the port is open is lost
                print(
                    f"listening to {self.settings.description}; Ctrl-C stops",
                    file=sys.stderr,
                    flush=True,
                )
            # The worker times each batch from its first receive: a source still starting up
            # (opening its port, importing) would make that first batch look like a stall.
            while source.process.is_alive() and not source.receiver.poll(0.05):
                pass
            with worker_log.capture(), children_ignore_ctrl_c(), parent_logging_kept():
                service = VelmoraGesture(self.config, source.receiver, logger)
                service.start()
            source.receiver.close()  # the worker holds its own copy
            self._follow(service, show)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            with children_ignore_ctrl_c():  # a second Ctrl-C does not cut the clean-up short
                source.stop()  # first: the worker then sees the end of the stream at once
                if service is not None:
                    service.terminate()
                    service.process.join()
                    self._drain(service, show)
                    self.worker_exitcode = service.process.exitcode
                self.accepted = worker_log.finish()
        return interrupted

    def _follow(self, service, show) -> None:
        while service.process.is_alive():
            if not self._show_next(service, show):
                time.sleep(POLL_S)
        self._drain(service, show)

    def _show_next(self, service, show) -> bool:
        gesture = service.gesture()
        if gesture is None:
            return False
        self.shown += 1
        show(self.source.counters.sent / SAMPLE_RATE, gesture)
        return True

    def _drain(self, service, show) -> None:
        while self._show_next(service, show):
            pass

    def report(self) -> str:
        counters = self.source.counters
        drops = ", ".join(f"{kind} {n}" for kind, n in counters.drops.items() if n)
        lines = [
            f"source: {int(counters.read)} rows read, {counters.dropped} dropped"
            + (f" ({drops})" if drops else "")
            + f", {int(counters.sent)} rows sent at 50 Hz"
            + (f", {int(counters.gaps)} time gaps" if counters.gaps else ""),
            f"results: {self.accepted} accepted by the worker, {self.shown} shown, "
            f"{max(self.accepted - self.shown, 0)} replaced by a newer one before they were read",
        ]
        return "\n".join(lines)


def _text_line(t: float, gesture) -> None:
    print(
        f"{t:8.2f} s  {gesture.name:<9} p={gesture.probability:.3f}  "
        f"conf={gesture.confidence:<4} disp={gesture.displacement:+.3f}",
        flush=True,
    )


def _json_line(t: float, gesture) -> None:
    record = {
        "t": round(t, 3),
        "label": str(gesture.name),
        "probability": float(gesture.probability),
        "confidence": int(gesture.confidence),
        "displacement": float(gesture.displacement),
    }
    print(json.dumps(record), flush=True)
