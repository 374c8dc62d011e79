"""The command-line options that choose and describe a source, shared by `listen` and `record`."""

import argparse
from dataclasses import replace

from ...conditioning import TIME_SCALES
from ..errors import WorkbenchError
from ..sources.decoding import DEFAULT_FIELDS
from ..sources.kinds import DEFAULT_HOST, KINDS, USAGE, parse_source
from .options import SENSOR_RATES, sensor_rate, within


def add_source_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("source")
    group.add_argument(
        "--source",
        required=True,
        help=f"{USAGE} (a file is replayed; udp binds to {DEFAULT_HOST} unless a host is given)",
    )
    group.add_argument(
        "--baud", type=within(50, 12_000_000, int), default=115200, help="serial baud rate (115200)"
    )
    group.add_argument(
        "--columns",
        help="which columns are which, as for `import`: t=...,ax=...,ay=...,az=...[,vx=...]"
        "[,gx=...] "
        "(default: found by name)",
    )
    group.add_argument(
        "--fields",
        default=DEFAULT_FIELDS,
        help=f"names of the fields of a headerless CSV line ({DEFAULT_FIELDS})",
    )
    group.add_argument(
        "--time-unit",
        choices=tuple(TIME_SCALES),
        help="of the time stamps (default: from the column name or the first stamps' rate)",
    )
    group.add_argument("--units", choices=("m/s2", "g"), default="m/s2", help="acceleration")
    group.add_argument(
        "--gyro-units",
        choices=("deg/s", "rad/s"),
        default="deg/s",
        help="angular rate of gx, gy, gz, used to remove gravity (deg/s)",
    )
    group.add_argument(
        "--rate",
        type=sensor_rate,
        default=50.0,
        help=f"sample rate without time stamps, {SENSOR_RATES} (50)",
    )
    group.add_argument(
        "--speed",
        type=within(0.01, 1000),
        default=1.0,
        help="replay speed of a file, x real time, 0.01 to 1000 (1)",
    )
    group.add_argument(
        "--allow",
        action="append",
        metavar="HOST",
        help="udp: take datagrams from HOST (repeatable); default: from the first sender only",
    )
    group.add_argument(
        "--silence",
        type=within(0.1, 3600, unit=" seconds"),
        default=2.0,
        help="seconds without data that end the stream, 0.1 to 3600 (2)",
    )


def settings_from_args(args):
    """The `SourceSettings` the options name; a column mapping that cannot work fails here."""
    from ..sources.decoding import Format, LineDecoder

    fmt = Format(args.columns, args.fields, args.time_unit, args.units, args.rate, args.gyro_units)
    LineDecoder(fmt)
    allow = tuple(args.allow or ())
    settings = parse_source(
        args.source, fmt=fmt, baud=args.baud, silence_s=args.silence, allow=allow
    )
    if allow and settings.kind != "udp":
        raise WorkbenchError("--allow is for udp sources")
    return replace(settings, speed=args.speed) if KINDS[settings.kind].paced else settings
