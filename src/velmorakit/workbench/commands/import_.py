"""`velmorakit import`: a sensor file brought to a 50 Hz recording, conditioned as live data is."""

from ...conditioning import GYRO_SCALES, TIME_SCALES, UNIT_SCALES
from ...conditioning.velocity import ESTIMATE_VERSION, ESTIMATE_VERSIONS, VelocityEstimator
from .options import SENSOR_RATES, sensor_rate


def cmd_import(args) -> None:
    from ..recordings.importing import describe, import_recording
    from .options import output_path

    report = import_recording(
        args.input,
        output_path(args.output),
        args.columns,
        args.time_unit,
        args.rate,
        args.units,
        args.label_column,
        args.split_column,
        gyro_units=args.gyro_units,
        estimator=VelocityEstimator(version=args.velocity_estimate),
    )
    print(describe(report, args.input, args.output))


def register(commands) -> None:
    p = commands.add_parser("import", help="bring a sensor file to a 50 Hz recording")
    p.add_argument("input", help="CSV file with acceleration, optionally time, velocity, label")
    p.add_argument("-o", "--output", required=True, help="recording to write")
    p.add_argument(
        "--columns",
        help="ROLE=COLUMN,... with roles t, ax, ay, az, vx, vy, vz, gx, gy, gz (angular "
        "rate), label, group (default: columns named so; t, time or timestamp for t)",
    )
    p.add_argument(
        "--time-unit",
        choices=tuple(TIME_SCALES),
        help="unit of the time stamps (from the column name or the rate otherwise)",
    )
    p.add_argument(
        "--rate",
        type=sensor_rate,
        help=f"sampling rate, {SENSOR_RATES}: needed without time stamps, checked with them",
    )
    p.add_argument(
        "--units", choices=tuple(UNIT_SCALES), default="m/s2", help="acceleration units (m/s2)"
    )
    p.add_argument(
        "--gyro-units",
        choices=tuple(GYRO_SCALES),
        default="deg/s",
        help="angular rate units of the gx, gy, gz columns (deg/s)",
    )
    p.add_argument("--label-column", help="column with the gesture labels")
    p.add_argument("--split-column", help="column whose changes start a new take (e.g. take)")
    p.add_argument(
        "--velocity-estimate",
        type=int,
        choices=ESTIMATE_VERSIONS,
        default=ESTIMATE_VERSION,
        help="version of the velocity estimated without velocity columns: 1 is that of models "
        f"trained before a bundle recorded its velocity_estimate ({ESTIMATE_VERSION})",
    )
    p.set_defaults(handler=cmd_import)
