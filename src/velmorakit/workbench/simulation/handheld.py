"""Simulated sessions as a sensor held in the hand records them.

The strokes are those of `synthetic.py`, made in the world's frame (right, forward, up); the
hand holds the sensor in an orientation of its own, so the sensor measures them, and
gravity, in its frame. What a hand adds, each switched on in `HandSettings`:

- turns: between gestures the hand turns the sensor by 30 to 90 degrees about a random axis,
  slowly (0.8 to 1.6 s), to the orientation in which it starts the next gesture. A turn is
  motion that is no gesture: its rows are unlabelled, and its span is listed in the session's
  `turns`. Orientations stay within `hold_limit_deg` of level and point within
  `heading_limit_deg` of ahead, as a hand holds a sensor in front of the body whose
  strokes it makes;
- wrist: the wrist turns the sensor by a few to `wrist_deg` degrees during each stroke;
- follow-through: a stroke ends while the hand still moves: its deceleration runs into a
  slow continuation of 3 to 8 cm over 0.5 to 1 s, at its fastest (0.05 to 0.3 m/s) as the
  stroke ends, instead of a crisp stop;
- sway (`tilt_deg`), sensor noise, a gyroscope bias and noise, and the accelerometer's
  quantisation step.

The gyroscope reads the angular velocity of exactly these orientation changes, so that
integrating it recovers them.
"""

from dataclasses import dataclass, replace

import numpy as np
from scipy.spatial.transform import Rotation

from ...conditioning import DT, SAMPLE_RATE, STANDARD_GRAVITY
from .orientation import UP, RotationTrack, Sway, Turn, held_by, measured, random_axis
from .sensor import SensorSession, sample_times
from .synthetic import (
    DIRECTIONS,
    GestureEvent,
    SimulationSettings,
    minimum_jerk,
    simulate_session,
    stroke,
)

# Rests long enough for a turn between the follow-through of one stroke and the next stroke.
TURNING_REST_S = (2.5, 4.0)
TURN_PAUSE_S = (0.1, 0.4)  # still, after the hand stops and before it turns
TURN_CLEARANCE_S = 0.3  # still, between the end of a turn and the next stroke
SHORTEST_TURN_S = 0.3
WRIST_LEAST_DEG = 3.0
TWIST_DEG = (60.0, 90.0)
FOLLOW_THROUGH_M = (0.03, 0.08)
FOLLOW_THROUGH_S = (0.5, 1.0)
FOLLOW_THROUGH_SIDEWAYS = 0.5  # its sideways part, at most, against the part along the stroke
TAKE_LEAD_S = (1.0, 1.5)  # rest in a take before its gesture
TAKE_TAIL_S = (1.5, 2.5)  # and after it
CHUNK = 50_000  # samples whose orientations are computed at once


@dataclass(frozen=True)
class HandSettings:
    rate_hz: float = 100.0
    jitter: float = 0.1  # a fraction of the sample period
    gravity: bool = True
    tilt_deg: float = 0.0  # slow sway about x and y, up to about this angle
    turns: bool = False
    turn_deg: tuple[float, float] = (30.0, 90.0)
    turn_s: tuple[float, float] = (0.8, 1.6)
    wrist_deg: float = 0.0  # 0: the wrist holds still during strokes
    follow_through: bool = False
    quantum_g: float = 0.0  # accelerometer step; 0: not quantised
    acc_noise_m_s2: float = 0.05
    gyro_noise_rad_s: float = 0.01
    gyro_bias_rad_s: float = 0.0  # each axis's bias drawn from +- this, once per session
    hold_limit_deg: float = 60.0  # tilt from level
    heading_limit_deg: float = 30.0  # turn about the vertical, away from straight ahead


REALISTIC = HandSettings(
    tilt_deg=5.0,
    turns=True,
    wrist_deg=30.0,
    follow_through=True,
    quantum_g=0.04,
    acc_noise_m_s2=0.1,
    gyro_noise_rad_s=0.02,
    gyro_bias_rad_s=0.01,
)


class _Hand:
    """The orientations the hand holds the sensor in, and the rotations between them."""

    def __init__(self, rng: np.random.Generator, hand: HandSettings):
        self.rng, self.hand = rng, hand
        self.limits = np.radians([hand.hold_limit_deg, hand.heading_limit_deg])
        self.initial = Rotation.identity()
        if hand.turns:
            for _ in range(50):
                angle = rng.uniform(0, self.limits.max())
                self.initial = Rotation.from_rotvec(random_axis(rng) * angle)
                if self.beyond_limits(self.initial) == 0:
                    break
        self.current = self.initial
        self.rotations: list[Turn] = []

    def beyond_limits(self, held: Rotation) -> float:
        """How far (rad) an orientation is beyond the tilt or the heading limit; 0 within."""
        tilt = np.arccos(np.clip(held.apply(UP)[2], -1.0, 1.0))
        x, y, z, w = held.as_quat()
        heading = abs(np.angle(complex(w, z) ** 2))  # the twist about the vertical
        return max(tilt - self.limits[0], heading - self.limits[1], 0.0)

    def rotate(self, start_s: float, duration_s: float, degrees: tuple[float, float]) -> Turn:
        """A rotation by an angle drawn from `degrees`, about a random axis that keeps the
        sensor within the hold limits (the nearest to them if none of 50 draws does)."""
        best = None
        for _ in range(50):
            axis, angle = random_axis(self.rng), np.radians(self.rng.uniform(*degrees))
            off = self.beyond_limits(Rotation.from_rotvec(axis * angle) * self.current)
            if best is None or off < best[0]:
                best = (off, axis, angle)
            if off == 0:
                break
        turn = Turn(start_s, duration_s, best[1], best[2])
        self.rotations.append(turn)
        self.current = turn.rotation * self.current
        return turn

    def twist(self, event: GestureEvent) -> None:
        """A twist gesture: the wrist turns the sensor about its forward axis and back."""
        half = (event.end - event.start) * DT / 2
        axis = self.current.apply([0.0, 1.0, 0.0])
        angle = np.radians(self.rng.uniform(*TWIST_DEG)) * self.rng.choice([-1.0, 1.0])
        for start, turn in ((event.start * DT, angle), (event.start * DT + half, -angle)):
            self.rotations.append(Turn(start, half, axis, turn))
            self.current = self.rotations[-1].rotation * self.current

    def wrist(self, event: GestureEvent) -> None:
        if event.label == "twist":
            self.twist(event)
        elif self.hand.wrist_deg > 0:
            least = min(WRIST_LEAST_DEG, self.hand.wrist_deg)
            span = (event.end - event.start) * DT
            self.rotate(event.start * DT, span, (least, self.hand.wrist_deg))

    def track(self) -> RotationTrack:
        return RotationTrack(self.initial, self.rotations)


def _follow_through(rng: np.random.Generator, acc: np.ndarray, event: GestureEvent) -> float:
    """Add a slow continuation to the stroke of `event` in `acc` (50 Hz, world frame), at its
    fastest where the stroke ends; the time (s) at which the hand stops. Shapes end where they
    began, without one."""
    if event.label not in DIRECTIONS:
        return event.end * DT
    axis, sign = DIRECTIONS[event.label]
    direction = rng.uniform(-FOLLOW_THROUGH_SIDEWAYS, FOLLOW_THROUGH_SIDEWAYS, 3)
    direction[axis] = sign
    direction /= np.linalg.norm(direction)
    length = round(rng.uniform(*FOLLOW_THROUGH_S) * SAMPLE_RATE)
    first = max(event.start, event.end - length // 2)
    length = min(length, len(acc) - first)
    distance = rng.uniform(*FOLLOW_THROUGH_M)
    if length < 3:
        return event.end * DT
    acc[first : first + length] += np.outer(minimum_jerk(distance, length), direction)
    return max(event.end, first + length) * DT


def _record(rng, acc50, labels50, track: RotationTrack, hand: HandSettings):
    """Time stamps, specific force, angular rate and labels of a sensor that samples the
    world-frame acceleration `acc50` (50 Hz) held as `track` says."""
    grid = np.arange(len(acc50)) * DT
    t = sample_times(rng, grid[-1], hand.rate_hz, hand.jitter)
    linear = np.column_stack([np.interp(t, grid, acc50[:, i]) for i in range(3)])
    sway = Sway.draw(rng, np.radians(hand.tilt_deg)) if hand.tilt_deg else None
    acc, gyro = np.empty_like(linear), np.empty_like(linear)
    for part in range(0, len(t), CHUNK):  # in parts: rotations of every sample take room
        at = slice(part, part + CHUNK)
        orientation, velocity = held_by(*track.at(t[at]), sway, t[at])
        acc[at], gyro[at] = measured(orientation, velocity, linear[at], hand.gravity)
    acc += rng.normal(0, hand.acc_noise_m_s2, acc.shape)
    gyro += rng.uniform(-hand.gyro_bias_rad_s, hand.gyro_bias_rad_s, 3)
    gyro += rng.normal(0, hand.gyro_noise_rad_s, gyro.shape)
    if hand.quantum_g > 0:
        step = hand.quantum_g * STANDARD_GRAVITY
        acc = np.round(acc / step) * step + 0.0  # no negative zeros
    labels = labels50[np.minimum(np.rint(t / DT).astype(int), len(grid) - 1)]
    return t, acc, gyro, labels


def session_settings(hand: HandSettings, **changes) -> SimulationSettings:
    """A session's settings for `hand` (with turns, rests of 2.5 to 4 s), with `changes`."""
    settings = SimulationSettings(rest_s=TURNING_REST_S) if hand.turns else SimulationSettings()
    return replace(settings, **changes)


def handheld_session(
    seconds: float,
    seed: int,
    hand: HandSettings = REALISTIC,
    settings: SimulationSettings | None = None,
) -> SensorSession:
    """One continuous session of about `seconds`, reproducible by seed. With turns, rests
    last 2.5 to 4 s unless `settings` say otherwise."""
    if settings is None:
        settings = session_settings(hand)
    quiet = replace(settings, acc_noise_m_s2=0.0, vel_noise_m_s=0.0)
    clean = simulate_session(seconds, seed, quiet)
    rng = np.random.default_rng([seed, 2])
    acc50 = clean.samples[:, :3].copy()
    events = clean.events
    stops = [_follow_through(rng, acc50, e) if hand.follow_through else e.end * DT for e in events]
    holder = _Hand(rng, hand)
    turns = []
    for event, stop, following in zip(events, stops, events[1:] + [None], strict=True):
        holder.wrist(event)
        if not hand.turns or following is None:
            continue
        start = stop + rng.uniform(*TURN_PAUSE_S)
        duration = min(rng.uniform(*hand.turn_s), following.start * DT - TURN_CLEARANCE_S - start)
        if duration >= SHORTEST_TURN_S:
            turn = holder.rotate(start, duration, hand.turn_deg)
            turns.append((turn.start_s, turn.end_s, float(np.degrees(turn.angle))))
    t, acc, gyro, labels = _record(rng, acc50, clean.labels, holder.track(), hand)
    return SensorSession(t, acc, labels, gyro, None, turns, events)


def handheld_takes(
    seconds: float,
    seed: int,
    hand: HandSettings = REALISTIC,
    settings: SimulationSettings | None = None,
) -> SensorSession:
    """One take per gesture, about `seconds` in all: rest, the stroke, rest, each take with
    its own clock from 0 and, with turns, held in an orientation of its own."""
    cfg = settings or SimulationSettings()
    rng = np.random.default_rng([seed, 3])
    names = list(cfg.labels)
    parts, events, rows, elapsed = [], [], 0, 0.0
    while True:
        label = names[rng.integers(len(names))]
        stroke_acc, distance = stroke(rng, cfg, label)
        lead = round(rng.uniform(*TAKE_LEAD_S) * SAMPLE_RATE)
        n = lead + len(stroke_acc) + round(rng.uniform(*TAKE_TAIL_S) * SAMPLE_RATE)
        if parts and elapsed + n * DT > seconds:
            break
        acc50 = np.zeros((n, 3))
        acc50[lead : lead + len(stroke_acc)] = stroke_acc
        labels50 = np.full(n, "", dtype=object)
        labels50[lead : lead + len(stroke_acc)] = label
        event = GestureEvent(lead, lead + len(stroke_acc), label, round(distance, 4))
        if hand.follow_through:
            _follow_through(rng, acc50, event)
        holder = _Hand(rng, hand)
        holder.wrist(event)
        t, acc, gyro, labels = _record(rng, acc50, labels50, holder.track(), hand)
        parts.append((t, acc, gyro, labels, np.full(len(t), len(parts))))
        events.append(replace(event, start=event.start + rows, end=event.end + rows))
        rows += n
        elapsed += n * DT
    t, acc, gyro, labels, takes = (np.concatenate(column) for column in zip(*parts, strict=True))
    return SensorSession(t, acc, labels, gyro, takes, [], events)
