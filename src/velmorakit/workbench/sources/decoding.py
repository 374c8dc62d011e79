"""Raw bytes from a sensor made into engine rows: lines, fields, columns, conditioning.

A sensor sends text lines, CSV ("t,ax,ay,az[,gx,gy,gz]" as microcontrollers print them) or
JSON objects (as phone streaming apps send them). `LineDecoder.feed` takes bytes as they
arrive, in pieces of any size, and returns the 50 Hz rows that they complete. A line that
cannot be used is skipped and counted by kind in `Drops`, and each kind is logged once, so
that a noisy link neither floods the terminal nor loses a row silently.
"""

import json
import logging
import math
from dataclasses import dataclass, field

from ...conditioning import (
    ACC_ROLES,
    DT,
    GYRO_ROLES,
    VEL_ROLES,
    ColumnMap,
    Conditioner,
    TimeUnitError,
    VelocityEstimator,
)
from ...conditioning.velocity import ESTIMATE_VERSION
from ...errors import InputError
from ..errors import time_unit_problem
from ..recordings.recording import GAP_COLUMN

log = logging.getLogger("velmorakit.sources")

# A line longer than this without an end is not a sensor line: dropped as garbage.
MAX_LINE_BYTES = 4096

# Field names of a headerless CSV stream: the common Arduino/ESP32 print format.
DEFAULT_FIELDS = "t,ax,ay,az,gx,gy,gz"

# The roles a row is made of; a label or group column of the stream is not used live.
SAMPLE_ROLES = ("t", "ax", "ay", "az", "vx", "vy", "vz", "gx", "gy", "gz")

DROP_KINDS = {
    "garbage": "bytes that are not text",
    "malformed": "a line that is not a sample of the configured columns",
    "nonfinite": "a sample holding NaN, infinity or a number too large for a float",
    "partial": "a line cut off by the end of the stream",
    "out_of_order": "a sample whose time stamp repeats or goes back",
    "foreign": "a datagram from a sender the stream does not accept",
}


@dataclass
class Drops:
    """Skipped input by kind; the first of each kind is logged, the rest only counted."""

    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(DROP_KINDS, 0))

    def add(self, kind: str, line: bytes | str, n: int = 1) -> None:
        if self.counts[kind] == 0:
            log.warning("skipped %s: %.80r (further ones are counted)", DROP_KINDS[kind], line)
        self.counts[kind] += n

    @property
    def total(self) -> int:
        return sum(self.counts.values())


@dataclass(frozen=True)
class Format:
    """How to read the lines: which columns play which role, and in what units."""

    columns: str | None = None  # "t=...,ax=..." as for `velmorakit import`; None: by name
    fields: str = DEFAULT_FIELDS  # names of a headerless CSV line's fields, in order
    time_unit: str | None = None  # of the time stamps; None: told by the first stamps
    units: str = "m/s2"  # of the acceleration
    rate_hz: float = 50.0  # of samples without time stamps
    gyro_units: str = "deg/s"  # of the angular rate, when there are gyroscope columns
    # Of the velocity estimate without velocity columns: the model's (see `Bundle`).
    velocity_estimate: int = ESTIMATE_VERSION


def _flatten(obj, prefix="") -> dict[str, object]:
    """Nested JSON objects and lists as dotted keys: {"acc": [1, 2]} -> acc.0, acc.1."""
    items = obj.items() if isinstance(obj, dict) else enumerate(obj)
    flat = {}
    for key, value in items:
        name = f"{prefix}{key}".lower()
        if isinstance(value, dict | list):
            flat.update(_flatten(value, name + "."))
        else:
            flat[name] = value
    return flat


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class LineDecoder:
    def __init__(self, fmt: Format, drops: Drops | None = None):
        self.fmt = fmt
        self.drops = drops or Drops()
        self.conditioner = None
        self.read = 0  # lines that were meant as samples: used, or dropped and counted
        self._pending = b""
        self._seen_sample = False
        # Roles to their columns: given, or found by name in the first header or JSON object.
        self._mapping = ColumnMap.parse(fmt.columns) if fmt.columns else None
        self._fields = [f.strip() for f in fmt.fields.split(",")]
        self._columns = None  # role -> index of a CSV field, found on the first CSV line
        self._gap_field = None  # index of a recording's gap_s field
        # Rows returned so far, and the seconds from the row before to each row that did
        # not follow it by one sample period (a gap in the time stamps or a noted one).
        self.emitted = 0
        self.gaps_before: dict[int, float] = {}
        self._noted_gap = None
        self._last_t = None

    def feed(self, data: bytes) -> list[list[float]]:
        """Rows completed by `data`, a piece of the byte stream (partial lines are kept)."""
        *lines, self._pending = (self._pending + data).split(b"\n")
        rows = []
        for line in lines:
            rows += self.line(line)
        if len(self._pending) > MAX_LINE_BYTES:
            self.read += 1
            self._unreadable("garbage", self._pending)
            self._pending = b""
        return rows

    def finish(self) -> list[list[float]]:
        """The stream has ended: the rows still held back; a line still waiting for its end
        is counted, not used."""
        if self._pending.strip():
            self.read += 1
            self.drops.add("partial", self._pending)
        self._pending = b""
        return self._conditioned(self.conditioner.finish) if self.conditioner else []

    def line(self, raw: bytes) -> list[list[float]]:
        """The rows that one complete line (without its end) gives."""
        if not raw.strip():
            return []
        self.read += 1
        try:
            text = raw.decode("utf-8").strip()
        except UnicodeDecodeError:
            text = None
        if text is None or not text.isprintable():
            self._unreadable("garbage", raw)
            return []
        if text.startswith("{"):
            sample = self._json_sample(text)
        else:
            sample = self._csv_sample(text)
        return [] if sample is None else self._condition(sample, text)

    def _unreadable(self, kind: str, line: bytes | str) -> None:
        """A line meant as a sample that gives none: counted by kind, and by the conditioner,
        for without time stamps it still took its sample period."""
        self.drops.add(kind, line)
        if self.conditioner is not None:
            self.conditioner.skip()

    def _locate(self, names: list[str]) -> dict[str, int]:
        mapping = self._mapping or ColumnMap.default(names)
        columns = mapping.locate(names)
        self._mapping = mapping
        return {role: i for role, i in columns.items() if role in SAMPLE_ROLES}

    def _csv_sample(self, text: str) -> dict[str, str] | None:
        fields = [f.strip() for f in text.replace(";", ",").replace("\t", ",").split(",")]
        if not self._seen_sample and not any(map(_is_number, fields)):
            try:
                self._columns = self._locate(fields)  # a header line names the fields
                lowered = [f.lower() for f in fields]
                if GAP_COLUMN in lowered:
                    self._gap_field = lowered.index(GAP_COLUMN)
                self.read -= 1  # and is no sample
                return None
            except InputError:
                pass  # not a header of the configured columns: a malformed line
        try:
            if self._columns is None:
                self._columns = self._locate(self._fields)
            sample = {role: fields[i] for role, i in self._columns.items()}
        except (IndexError, InputError):
            self._unreadable("malformed", text)
            return None
        if self._gap_field is not None and self._gap_field < len(fields):
            self._note_gap(fields[self._gap_field])
        return sample

    def _note_gap(self, text: str) -> None:
        """A recording's gap_s field: the seconds of silence before this row (inf: unknown)."""
        if not text:
            return
        try:
            seconds = float(text)
        except ValueError:
            seconds = math.inf
        if math.isnan(seconds):
            seconds = math.inf
        if seconds > DT:
            self._noted_gap = seconds

    def _json_sample(self, text: str) -> dict[str, object] | None:
        try:
            flat = _flatten(json.loads(text))
            if self._mapping is None:
                self._mapping = ColumnMap.default(list(flat))
            names = self._mapping.names
            return {r: flat[names[r].strip().lower()] for r in SAMPLE_ROLES if r in names}
        except (ValueError, KeyError, TypeError, AttributeError, RecursionError):
            self._unreadable("malformed", text)
            return None

    def _condition(self, sample: dict, text: str) -> list[list[float]]:
        """The sample's values as read: the conditioner converts them, drops a bad one and
        tells `drops` why (the line is its tag)."""
        mapping = self._mapping
        if self.conditioner is None:
            self.conditioner = Conditioner(
                has_velocity=mapping.has_velocity,
                units=self.fmt.units,
                time_unit=(self.fmt.time_unit or "auto") if mapping.has_time else None,
                input_rate_hz=self.fmt.rate_hz,
                time_column=mapping.names.get("t"),
                on_drop=self.drops.add,
                has_gyro=mapping.has_gyro,
                gyro_units=self.fmt.gyro_units,
                estimator=VelocityEstimator(version=self.fmt.velocity_estimate),
            )
            if self.conditioner.gyro_note:
                log.warning("gyroscope not used: %s", self.conditioner.gyro_note)
        self._seen_sample = True
        acc = [sample[r] for r in ACC_ROLES]
        vel = [sample[r] for r in VEL_ROLES] if mapping.has_velocity else None
        gyro = [sample[r] for r in GYRO_ROLES] if mapping.has_gyro else None
        push = self.conditioner.push
        return self._conditioned(lambda: push(sample.get("t"), acc, vel, text, gyro))

    def _conditioned(self, step) -> list[list[float]]:
        """The rows of a conditioner's step; the unit of the time stamps is logged once the
        first stamps have told or checked it."""
        told = self.conditioner.time_unit
        try:
            rows = step()
        except TimeUnitError as err:
            raise time_unit_problem(err) from None
        rate = self.conditioner.input_rate_hz
        if told is None and self.conditioner.time_unit is not None and rate:
            log.info("time stamps in %s: %.4g Hz", self.conditioner.time_unit, rate)
        for row in rows:
            # Rows on one grid are a sample period apart; the grid starts afresh after a gap
            # in the time stamps, or a clock that went back (a gap of unknown length).
            gap, self._noted_gap = self._noted_gap, None
            if self._last_t is not None and not row.t - self._last_t < 1.5 * DT:
                gap = row.t - self._last_t
            elif self._last_t is not None and row.t < self._last_t:
                gap = math.inf
            if gap is not None:
                self.gaps_before[self.emitted] = gap
            self._last_t = row.t
            self.emitted += 1
        return [list(row.values) for row in rows]

    @property
    def gaps(self) -> int:
        """Jumps in the time stamps after which the 50 Hz grid started anew."""
        return self.conditioner.resampler.gaps if self.conditioner else 0
