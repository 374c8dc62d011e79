"""Live sensor sources: serial ports, UDP, standard input and file replay.

Each source yields 50 Hz rows [ax, ay, az, vx, vy, vz] in m/s² and m/s and runs as the
producer process that feeds the gesture service's sensor pipe.
"""

from .decoding import DROP_KINDS, Drops, Format, LineDecoder
from .options import add_source_options, spec_from_args
from .process import SourceProcess, children_ignore_ctrl_c
from .pump import Counters
from .spec import SourceSpec, parse_source

__all__ = [
    "DROP_KINDS",
    "Counters",
    "Drops",
    "Format",
    "LineDecoder",
    "SourceProcess",
    "SourceSpec",
    "add_source_options",
    "children_ignore_ctrl_c",
    "parse_source",
    "spec_from_args",
]
