"""Real hand-held recordings in the two forms `velmorakit simulate --format sensor` writes.

The phone-digits data (`phone_digits_gravity.csv`: 500 takes of the digits 0 to 9 drawn in
the air with a phone, about 52 Hz, acceleration with gravity in m/s², gyroscope in rad/s,
t_ms from 0 in each take, take and label columns) holds one take per gesture. This writes,
into the output directory:

- `digits-takes.csv`: the takes as they are, with a take column, in a shuffled order in which
  neighbours seldom share a digit (`shape` tells gestures apart by runs of labels, so that 25
  takes of one digit in a row would count as one gesture when `train` cross-validates);
- `digits-session.csv`: one continuous session: the takes in a shuffled order on one clock,
  and between each two a turn synthesized from the gravity the first ends with to the gravity
  the next starts with (slerp over 0.8 to 1.6 s, a gyroscope that reads it, the takes' rest
  noise), unlabelled, so no gesture; `digits-session.turns.csv` lists the turns as
  `simulate` does.

Columns t_ms, ax, ay, az, gx, gy, gz, label (and take). With `--test-share`, the takes are
split by digit into a test share and the rest, and each form is written for both:
`digits-train-takes.csv`, `digits-train-session.csv`, `digits-test-takes.csv`, ...

    .venv/bin/python tools/phone_digits_forms.py -o data/phone --test-share 0.5 --seed 0
    velmorakit import data/phone/digits-train-session.csv -o data/phone/train.csv
    velmorakit import data/phone/digits-test-takes.csv -o data/phone/test.csv --split-column take
"""

import argparse
import csv
import sys
from pathlib import Path

import numpy as np

from velmorakit.workbench.simulation.joined_takes import Take, join_takes
from velmorakit.workbench.simulation.sensor import SensorSession, write_session

SOURCE = Path("/work/shared/data/phone-digits/phone_digits_gravity.csv")
COLUMNS = ("take", "label", "t_ms", "ax", "ay", "az", "gyro_x", "gyro_y", "gyro_z")


def read_takes(path: Path) -> dict[int, Take]:
    """The takes of the file by number, in the order of their rows."""
    with path.open(newline="") as handle:
        reader = csv.reader(handle)
        header = [name.strip() for name in next(reader, [])]
        missing = [name for name in COLUMNS if name not in header]
        if missing:
            raise ValueError(f"{path}: no column(s) {', '.join(missing)}")
        at = [header.index(name) for name in COLUMNS]
        rows: dict[int, list] = {}
        for line, row in enumerate(reader, start=2):
            try:
                take, label, *values = (row[i] for i in at)
                rows.setdefault(int(take), []).append((label, *map(float, values)))
            except (ValueError, IndexError):
                raise ValueError(f"{path}:{line}: expected {', '.join(COLUMNS)}") from None
    takes = {}
    for number, lines in rows.items():
        values = np.array([line[1:] for line in lines])
        takes[number] = Take(values[:, 0] / 1000, values[:, 1:4], values[:, 4:7], lines[0][0])
    return takes


def split(takes: dict[int, Take], share: float, per_digit: int | None, rng) -> dict[str, list]:
    """Take numbers by part ("" for all, or "train" and "test"), drawn digit by digit."""
    parts: dict[str, list] = {"": []} if share == 0 else {"train": [], "test": []}
    for label in sorted({take.label for take in takes.values()}):
        numbers = [n for n, take in takes.items() if take.label == label]
        numbers = list(rng.permutation(numbers))[:per_digit]
        tested = round(share * len(numbers))
        if share == 0:
            parts[""] += numbers
        else:
            parts["test"] += numbers[:tested]
            parts["train"] += numbers[tested:]
    return {part: sorted(numbers) for part, numbers in parts.items()}


def interleaved(takes: dict[int, Take], numbers: list[int], rng) -> list[int]:
    """The takes in a random order, each drawn from the digits other than the previous take's
    in proportion to the takes they have left."""
    left: dict[str, list] = {}
    for n in rng.permutation(numbers):
        left.setdefault(takes[n].label, []).append(n)
    order, previous = [], None
    while left:
        labels = [label for label in left if label != previous] or list(left)
        counts = np.array([len(left[label]) for label in labels], dtype=float)
        previous = labels[rng.choice(len(labels), p=counts / counts.sum())]
        order.append(left[previous].pop())
        if not left[previous]:
            del left[previous]
    return order


def takes_form(takes: dict[int, Take], numbers: list[int]) -> SensorSession:
    chosen = [takes[n] for n in numbers]
    return SensorSession(
        np.concatenate([take.t for take in chosen]),
        np.vstack([take.acc for take in chosen]),
        np.concatenate([np.full(len(take.t), take.label, dtype=object) for take in chosen]),
        np.vstack([take.gyro for take in chosen]),
        np.concatenate([np.full(len(take.t), n) for n, take in zip(numbers, chosen, strict=True)]),
    )


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=Path, default=SOURCE, help=f"({SOURCE})")
    parser.add_argument("-o", "--output", type=Path, required=True, help="directory to write to")
    parser.add_argument("--name", default="digits", help="start of the file names (digits)")
    parser.add_argument(
        "--test-share", type=float, default=0.0, help="share of each digit's takes to test on (0)"
    )
    parser.add_argument("--per-digit", type=int, help="use at most this many takes per digit")
    parser.add_argument("--seed", type=int, default=0, help="of the split, order and turns (0)")
    args = parser.parse_args(argv)
    if not 0 <= args.test_share < 1:
        parser.error("--test-share must lie in [0, 1)")
    rng = np.random.default_rng(args.seed)
    try:
        takes = read_takes(args.source)
    except (OSError, ValueError) as err:
        print(f"phone_digits_forms: error: {err}", file=sys.stderr)
        return 1
    args.output.mkdir(parents=True, exist_ok=True)
    for part, numbers in split(takes, args.test_share, args.per_digit, rng).items():
        stem = args.output / "-".join(filter(None, (args.name, part)))
        path = Path(f"{stem}-takes.csv")
        write_session(path, takes_form(takes, interleaved(takes, numbers, rng)))
        print(f"wrote {path}: {len(numbers)} takes")
        session = join_takes([takes[n] for n in rng.permutation(numbers)], rng)
        path = Path(f"{stem}-session.csv")
        write_session(path, session)
        print(f"wrote {path}: {len(numbers)} takes, {len(session.turns)} turns between them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
