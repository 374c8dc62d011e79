"""`velmorakit simulate`: a simulated, labelled recording (engine rows and a truth file), or a
sensor file written as a hand-held sensor writes it, to try `import` on."""

import argparse

from ...conditioning import TIME_SCALES, UNIT_SCALES
from .options import (
    MAX_SIMULATED_S,
    SENSOR_RATES,
    output_path,
    seconds,
    seed,
    sensor_rate,
    within,
)


def cmd_simulate(args) -> None:
    if args.format == "sensor":
        _simulate_sensor(args)
        return
    from ..recordings.recording import truth_path, write_with_truth
    from ..simulation.synthetic import simulate_session

    session = simulate_session(args.seconds, args.seed)
    write_with_truth(output_path(args.output), session.samples, session.labels, session.events)
    print(
        f"wrote {args.output}: {len(session.samples)} samples, {len(session.events)} gestures; "
        f"ground truth in {truth_path(args.output)}"
    )


def _simulate_sensor(args) -> None:
    from ..simulation.sensor import sensor_session, write_sensor_file

    t, acc, labels, events = sensor_session(
        args.seconds, args.seed, args.rate, args.jitter, args.gravity, args.tilt
    )
    write_sensor_file(output_path(args.output), t, acc, labels, args.time_unit, args.units)
    print(
        f"wrote {args.output}: {len(t)} samples at {args.rate:g} Hz (acceleration in "
        f"{args.units}, time stamps in {args.time_unit}), {len(events)} gestures labelled"
    )


def register(commands) -> None:
    p = commands.add_parser("simulate", help="write a simulated, labelled recording (CSV)")
    p.add_argument("output", help="recording to write; the ground truth goes to *.truth.csv")
    p.add_argument(
        "--seconds", type=seconds, default=120.0, help=f"length, at most {MAX_SIMULATED_S:g} (120)"
    )
    p.add_argument("--seed", type=seed, default=0, help="random seed (0)")
    p.add_argument(
        "--format",
        choices=("engine", "sensor"),
        default="engine",
        help="engine: 50 Hz rows with velocity and a truth file (default); sensor: "
        "time-stamped acceleration as a sensor writes it, for `import`",
    )
    sensor = p.add_argument_group("sensor format")
    sensor.add_argument("--rate", type=sensor_rate, default=100.0, help=f"{SENSOR_RATES} (100)")
    sensor.add_argument(
        "--jitter",
        type=_jitter,
        default=0.1,
        help="sampling jitter, a fraction of the period (0.1)",
    )
    sensor.add_argument("--time-unit", choices=tuple(TIME_SCALES), default="ms", help="(ms)")
    sensor.add_argument("--units", choices=tuple(UNIT_SCALES), default="m/s2", help="(m/s2)")
    sensor.add_argument("--gravity", action="store_true", help="add 1 g, along z when level")
    sensor.add_argument(
        "--tilt",
        type=within(0, 90, unit=" degrees"),
        default=0.0,
        help="with --gravity: the hand tilts slowly by up to this many degrees, 0 to 90 (0)",
    )
    p.set_defaults(handler=cmd_simulate)


def _jitter(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1): {text}")
    return value
