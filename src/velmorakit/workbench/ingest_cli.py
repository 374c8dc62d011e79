"""The `import` command, and `simulate`'s sensor format: recordings brought in, and sensor
files made up to try it on."""

import argparse

from .command_options import positive
from .conditioning import TIME_SCALES, UNIT_SCALES


def cmd_simulate_sensor(args) -> None:
    from .command_options import output_path
    from .sensor_simulation import sensor_session, write_sensor_file

    t, acc, labels, events = sensor_session(
        args.seconds, args.seed, args.rate, args.jitter, args.gravity, args.tilt
    )
    write_sensor_file(output_path(args.output), t, acc, labels, args.time_unit, args.units)
    print(
        f"wrote {args.output}: {len(t)} samples at {args.rate:g} Hz (acceleration in "
        f"{args.units}, time stamps in {args.time_unit}), {len(events)} gestures labelled"
    )


def cmd_import(args) -> None:
    from .command_options import output_path
    from .importing import describe, import_recording

    report = import_recording(
        args.input,
        output_path(args.output),
        args.columns,
        args.time_unit,
        args.rate,
        args.units,
        args.label_column,
        args.split_column,
    )
    print(describe(report, args.input, args.output))


def register(commands) -> None:
    """Add `import`, and to the `simulate` already registered the sensor format."""
    p = commands.choices["simulate"]
    engine_format = p.get_default("handler")
    p.add_argument(
        "--format",
        choices=("engine", "sensor"),
        default="engine",
        help="engine: 50 Hz rows with velocity and a truth file (default); sensor: "
        "time-stamped acceleration as a sensor writes it, for `import`",
    )
    sensor = p.add_argument_group("sensor format")
    sensor.add_argument("--rate", type=positive(float), default=100.0, help="Hz (100)")
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
        type=float,
        default=0.0,
        help="with --gravity: the hand tilts slowly by up to this many degrees",
    )

    def simulate(args) -> None:
        (cmd_simulate_sensor if args.format == "sensor" else engine_format)(args)

    p.set_defaults(handler=simulate)

    p = commands.add_parser("import", help="bring a sensor file to a 50 Hz recording")
    p.add_argument("input", help="CSV file with acceleration, optionally time, velocity, label")
    p.add_argument("-o", "--output", required=True, help="recording to write")
    p.add_argument(
        "--columns",
        help="ROLE=COLUMN,... with roles t, ax, ay, az, vx, vy, vz, "
        "label, group (default: columns named so; t, time or timestamp for t)",
    )
    p.add_argument(
        "--time-unit",
        choices=tuple(TIME_SCALES),
        help="unit of the time stamps (from the column name or the rate otherwise)",
    )
    p.add_argument(
        "--rate",
        type=positive(float),
        help="sampling rate in Hz: needed without time stamps, checked with them",
    )
    p.add_argument(
        "--units", choices=tuple(UNIT_SCALES), default="m/s2", help="acceleration units (m/s2)"
    )
    p.add_argument("--label-column", help="column with the gesture labels")
    p.add_argument("--split-column", help="column whose changes start a new take (e.g. take)")
    p.set_defaults(handler=cmd_import)


def _jitter(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1): {text}")
    return value
