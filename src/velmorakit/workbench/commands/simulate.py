"""`velmorakit simulate`: a simulated, labelled recording (engine rows and a truth file), or a
sensor file written as a hand-held sensor writes it, to try `import` on."""

import argparse
from dataclasses import replace

from ...conditioning import TIME_SCALES, UNIT_SCALES
from ..errors import WorkbenchError
from .options import (
    MAX_SIMULATED_S,
    SENSOR_RATES,
    output_path,
    seconds,
    seed,
    sensor_rate,
    within,
)

# Options that need the hand-held model (orientation, gyroscope) rather than plain sampling.
HAND_OPTIONS = (
    "realistic",
    "turns",
    "wrist",
    "follow_through",
    "quantum",
    "gyro",
    "takes",
    "gestures",
)
# Option -> field of HandSettings.
HAND_FIELDS = {
    "gravity": "gravity",
    "tilt": "tilt_deg",
    "turns": "turns",
    "wrist": "wrist_deg",
    "follow_through": "follow_through",
    "quantum": "quantum_g",
    "noise": "acc_noise_m_s2",
}


def cmd_simulate(args) -> None:
    if args.format == "sensor":
        _simulate_sensor(args)
        return
    given = [name for name in (*HAND_OPTIONS, "noise") if getattr(args, name)]
    if given:
        option = "--" + given[0].replace("_", "-")
        raise WorkbenchError(f"{option} describes a sensor: give it with --format sensor")
    from ..recordings.recording import truth_path, write_with_truth
    from ..simulation.synthetic import simulate_session

    session = simulate_session(args.seconds, args.seed)
    write_with_truth(output_path(args.output), session.samples, session.labels, session.events)
    print(
        f"wrote {args.output}: {len(session.samples)} samples, {len(session.events)} gestures; "
        f"ground truth in {truth_path(args.output)}"
    )


def _simulate_sensor(args) -> None:
    output = output_path(args.output)
    if any(getattr(args, name) for name in HAND_OPTIONS):
        _hand_held_sensor(args, output)
        return
    from ..simulation.sensor import sensor_session, write_sensor_file
    from ..simulation.synthetic import SimulationSettings

    settings = None if args.noise is None else SimulationSettings(acc_noise_m_s2=args.noise)
    gravity, tilt = bool(args.gravity), args.tilt or 0.0
    t, acc, labels, events = sensor_session(
        args.seconds, args.seed, args.rate, args.jitter, gravity, tilt, settings
    )
    write_sensor_file(output, t, acc, labels, args.time_unit, args.units)
    print(_wrote(args, len(t), len(events)))


def _wrote(args, samples: int, gestures: int) -> str:
    return (
        f"wrote {args.output}: {samples} samples at {args.rate:g} Hz (acceleration in "
        f"{args.units}, time stamps in {args.time_unit}), {gestures} gestures labelled"
    )


def _hand_held_sensor(args, output: str) -> None:
    """The session the hand-held options ask for; the realistic preset fills in the options
    not given."""
    from ..simulation.handheld import (
        REALISTIC,
        HandSettings,
        handheld_session,
        handheld_takes,
        session_settings,
    )
    from ..simulation.sensor import turns_path, write_session

    base = REALISTIC if args.realistic else HandSettings(gravity=False)
    chosen = {f: getattr(args, name) for name, f in HAND_FIELDS.items()}
    chosen = {f: value for f, value in chosen.items() if value is not None}
    hand = replace(base, rate_hz=args.rate, jitter=args.jitter, **chosen)
    settings = session_settings(hand, labels=args.gestures) if args.gestures else None
    make = handheld_takes if args.takes else handheld_session
    session = make(args.seconds, args.seed, hand, settings)
    gyro = args.gyro if args.gyro is not None else args.realistic
    gyro_units = args.gyro_units if gyro else None
    write_session(output, session, args.time_unit, args.units, gyro_units)
    print(_wrote(args, len(session.t), len(session.events)))
    if gyro_units:
        print(f"angular rate in {gyro_units} (gx, gy, gz)")
    if session.takes is not None:
        print(
            f"{len(session.events)} takes, numbered in the take column (import --split-column take)"
        )
    if session.turns:
        print(
            f"{len(session.turns)} turns between gestures, unlabelled, listed in "
            f"{turns_path(output)}"
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
    sensor.add_argument(
        "--noise",
        type=within(0, 100, unit=" m/s2"),
        metavar="M_S2",
        help="accelerometer noise, standard deviation (0.05; 0.1 with --realistic)",
    )
    _add_hand_options(sensor)
    p.set_defaults(handler=cmd_simulate)


def _add_hand_options(group) -> None:
    flag = argparse.BooleanOptionalAction
    group.add_argument(
        "--realistic",
        action="store_true",
        help="a sensor held in the hand: --gravity --tilt 5 --turns --wrist 30 "
        "--follow-through --quantum 0.04 --noise 0.1 --gyro, with gyroscope noise and bias; "
        "options given beside it win",
    )
    group.add_argument("--gravity", action=flag, help="add 1 g, along z when level")
    group.add_argument(
        "--tilt",
        type=within(0, 90, unit=" degrees"),
        help="with --gravity: the hand tilts slowly by up to this many degrees, 0 to 90 (0)",
    )
    group.add_argument(
        "--turns",
        action=flag,
        help="between gestures the hand turns the sensor by 30-90 degrees over 0.8-1.6 s: "
        "unlabelled, listed in *.turns.csv",
    )
    group.add_argument(
        "--wrist",
        type=within(0, 180, unit=" degrees"),
        metavar="DEG",
        help="the wrist turns the sensor by 3 to DEG degrees during each stroke",
    )
    group.add_argument(
        "--follow-through",
        action=flag,
        help="strokes end while the hand still moves, slowly, instead of stopping",
    )
    group.add_argument(
        "--quantum",
        type=within(0, 1, unit=" g"),
        metavar="G",
        help="acceleration in steps of G g, 0 to 1",
    )
    group.add_argument("--gyro", action=flag, help="write the gyroscope too: gx, gy, gz")
    group.add_argument("--gyro-units", choices=("rad/s", "deg/s"), default="rad/s", help="(rad/s)")
    group.add_argument(
        "--gestures",
        type=_gestures,
        metavar="KINDS",
        help="comma-separated gestures to draw from: strokes (the six directions), "
        "up, down, left, right, forward, backward, circle, shake, twist, triangle (strokes)",
    )
    group.add_argument(
        "--takes",
        action="store_true",
        help="one take per gesture, rest before and after, numbered in a take column",
    )


def _gestures(text: str) -> tuple[str, ...]:
    from ..simulation.synthetic import DIRECTIONS, SHAPES

    kinds = []
    for name in (n.strip() for n in text.split(",") if n.strip()):
        if name == "strokes":
            kinds += DIRECTIONS
        elif name in DIRECTIONS or name in SHAPES:
            kinds.append(name)
        else:
            known = ", ".join(("strokes", *DIRECTIONS, *SHAPES))
            raise argparse.ArgumentTypeError(f"unknown gesture {name!r} (use {known})")
    if not kinds:
        raise argparse.ArgumentTypeError("name at least one gesture")
    return tuple(dict.fromkeys(kinds))


def _jitter(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1): {text}")
    return value
