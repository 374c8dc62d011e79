"""The default path import -> shape -> train -> evaluate on hand-held data, in both forms.

Simulated: `simulate --format sensor --realistic` (one continuous session with turns between
gestures, or one take per gesture with --takes), trained on one session and evaluated on
another. Real: the phone-digits takes (shared data), split in halves by
`tools/phone_digits_forms.py`, as takes and as one session with turns between them.
Prints recognised %, spurious % of results and the median delay of each.

    python tools/session_benchmark.py [--phone DIR_OF_phone_digits_gravity.csv] [--no-gyro]
        [--classifiers mlp,logreg] [--folds 3] [--only sim-session,phone-takes,...] [-o WORKDIR]
        [--gestures strokes,circle,shake,twist] [--seeds 11,12]
"""

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
PHONE_COLUMNS = "t=t_ms,ax=ax,ay=ay,az=az,gx=gx,gy=gy,gz=gz,label=label"


def velmorakit(*args, cwd: Path) -> str:
    run = subprocess.run(
        [sys.executable, "-m", "velmorakit", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
    )
    if run.returncode:
        raise SystemExit(f"velmorakit {' '.join(map(str, args))} failed:\n{run.stderr}")
    return run.stdout + run.stderr


def simulated(
    work: Path, form: str, gyro: bool, gestures: str | None, seeds: tuple[int, int]
) -> tuple[list[Path], list[Path], list[str]]:
    files = {}
    for part, seed, seconds in (("train", seeds[0], 900), ("test", seeds[1], 600)):
        name = work / f"sim-{form}-{part}.csv"
        extra = ["--takes"] if form == "takes" else []
        extra += ["--gestures", gestures] if gestures else []
        velmorakit(
            "simulate", name, "--format", "sensor", "--realistic", "--seconds", seconds,
            "--seed", seed, "--units", "g", *extra, cwd=work,
        )  # fmt: skip
        files[part] = name
    columns = "t=t_ms,ax=ax,ay=ay,az=az,label=label" + (",gx=gx,gy=gy,gz=gz" if gyro else "")
    options = ["--units", "g", "--gyro-units", "rad/s", "--columns", columns]
    if form == "takes":
        options += ["--split-column", "take"]
        options[-3] += ",group=take"
    return [files["train"]], [files["test"]], options


def phone(work: Path, source: Path, form: str, gyro: bool):
    folder = work / "phone"
    if not (folder / "digits-train-takes.csv").exists():
        subprocess.run(
            [sys.executable, TOOLS / "phone_digits_forms.py", "-o", folder, "--test-share", "0.5",
             "--seed", "0", "--source", source],
            check=True, capture_output=True,
        )  # fmt: skip
    columns = PHONE_COLUMNS if gyro else PHONE_COLUMNS.replace(",gx=gx,gy=gy,gz=gz", "")
    options = ["--gyro-units", "rad/s", "--time-unit", "ms"]
    if form == "takes":
        columns += ",group=take"
        options += ["--split-column", "take"]
    options += ["--columns", columns]
    train = [folder / f"digits-train-{form}.csv"]
    test = [folder / f"digits-test-{form}.csv"]
    return train, test, options


def measure(work: Path, name: str, train, test, options, choice: list[str]) -> dict:
    imported = {}
    for part, files in (("train", train), ("test", test)):
        outs = []
        for k, f in enumerate(files):
            out = work / f"{name}-{part}-{k}-50hz.csv"
            velmorakit("import", f, "-o", out, *options, cwd=work)
            outs.append(out)
        imported[part] = outs
    segments = work / f"{name}.npz"
    velmorakit("shape", *imported["train"], "-o", segments, cwd=work)
    bundle = work / f"{name}-model"
    trained = velmorakit("train", segments, "-o", bundle, *choice, cwd=work)
    report = velmorakit("evaluate", *imported["test"], "--model", bundle, cwd=work)

    def number(pattern, text=report, default=float("nan")):
        match = re.search(pattern, text)
        return float(match.group(1)) if match else default

    return {
        "recognised": number(r"recognised: +\d+ +\((\d+\.\d)% of gestures"),
        "spurious": number(r"spurious: +\d+ +\((\d+\.\d)% of results", default=0.0),
        "delay": number(r"median (-?\d+\.\d+) s, 90th"),
        "gestures": number(r"gestures: (\d+)"),
        "chosen": re.search(r"(?:chosen|kept) \(at most.*?: (confidence_th [\d.]+, gesture_prob_th [\d.]+)",
                            trained).group(1) if " (at most" in trained else "segments",
        "accuracy": re.findall(r"^  (\S+) +(\d+\.\d%) ±", trained, re.M),
    }  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--phone", type=Path, help="phone_digits_gravity.csv")
    parser.add_argument("--no-gyro", action="store_true", help="leave the gyroscope out")
    parser.add_argument("--classifiers", help="train's --classifiers (all of them, its default)")
    parser.add_argument("--folds", type=int, help="train's --folds (5, its default)")
    parser.add_argument("--gestures", help="simulate's --gestures (strokes)")
    parser.add_argument(
        "--seeds", default="11,12", help="simulate's seeds of the training and test recordings"
    )
    parser.add_argument("--only", help="comma-separated: sim-session, sim-takes, phone-...")
    parser.add_argument("-o", "--work", type=Path)
    args = parser.parse_args()
    work = args.work or Path(tempfile.mkdtemp(prefix="velmorakit-sessions-"))
    work.mkdir(parents=True, exist_ok=True)
    gyro = not args.no_gyro
    cases = [("sim", form) for form in ("session", "takes")]
    if args.phone:
        cases += [("phone", form) for form in ("session", "takes")]
    if args.only:
        cases = [c for c in cases if "-".join(c) in args.only.split(",")]
    print(f"working in {work}; gyroscope {'used' if gyro else 'left out'}")
    print(f"{'data':<15} {'recognised':>10} {'spurious':>9} {'delay':>7}  thresholds, CV accuracy")
    for source, form in cases:
        if source == "sim":
            seeds = tuple(int(x) for x in args.seeds.split(","))
            train, test, options = simulated(work, form, gyro, args.gestures, seeds)
        else:
            train, test, options = phone(work, args.phone, form, gyro)
        name = f"{source}-{form}"
        choice = ["--classifiers", args.classifiers] if args.classifiers else []
        choice += ["--folds", str(args.folds)] if args.folds else []
        r = measure(work, name, train, test, options, choice)
        scores = ", ".join(f"{n} {a}" for n, a in r["accuracy"])
        print(
            f"{name:<15} {r['recognised']:>9.1f}% {r['spurious']:>8.1f}% {r['delay']:>6.2f}s  "
            f"{r['chosen']}; {scores}",
            flush=True,
        )


if __name__ == "__main__":
    main()
