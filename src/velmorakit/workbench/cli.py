"""The `velmorakit` command: simulate, import, shape, train, evaluate, plot and demo."""

import argparse
import os
import sys
from pathlib import Path

from . import ingest_cli, listen, record, shape_command, train_command
from .command_options import add_cycle_options, add_model_options, positive
from .errors import WorkbenchError
from .evaluation_commands import register as register_evaluation_commands


def cmd_demo(args) -> None:
    from .command_options import load_model
    from .default_model import default_bundle
    from .demo import run_demo

    if not args.model:
        bundle, report = default_bundle()
        args.model = str(bundle.path)
        if report is None:
            print(f"using the cached default model {bundle.path}")
        else:
            chosen = next(s for s in report.scores if s.name == report.chosen)
            print(
                f"trained the default model ({report.chosen}) on {report.gestures} simulated "
                f"gestures (cross-validated accuracy {chosen.accuracy:.1%}), "
                f"cached as {bundle.path}"
            )
    _, config = load_model(args)
    run_demo(config, args.seconds, args.speed, args.seed)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmorakit", description="Real-time motion-gesture recognition: tools and demo."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    shape_command.register(commands)
    train_command.register(commands)
    register_evaluation_commands(commands)
    ingest_cli.register(commands)

    p = commands.add_parser("demo", help="recognise a simulated session live")
    p.add_argument("--seconds", type=positive(float), default=40.0, help="stream length (40)")
    p.add_argument("--speed", type=positive(float), default=2.0, help="x real time (2)")
    p.add_argument("--seed", type=int, default=7, help="session seed (7)")
    add_model_options(p, required=False)
    add_cycle_options(p)
    p.set_defaults(handler=cmd_demo)
    listen.register(commands)
    record.register(commands)
    return parser


# Packages of the `app` extra: the progress bars and the pictures.
OPTIONAL_PACKAGES = {"tqdm", "matplotlib"}


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return int(exit_.code or 0)
    model, encoder = getattr(args, "model", None), getattr(args, "encoder", None)
    if encoder and not model:
        return _fail(args.command, "--encoder goes with --model", 2)
    if model and not encoder and not Path(model).is_dir():
        return _fail(
            args.command, "give --encoder with a pickled --model, or a bundle as --model", 2
        )
    try:
        code = args.handler(args)
        sys.stdout.flush()  # a closed pipe shows here, inside the try, rather than at exit
    except BrokenPipeError:
        # The reader went away (`velmorakit evaluate ... | head`): point standard output at
        # the null device so that the flush at exit fails no more, and exit as Python does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except WorkbenchError as err:
        return _fail(args.command, str(err), 1)
    except ImportError as err:
        return _fail(args.command, _import_problem(err), 1)
    except OSError as err:
        where = f"{err.filename}: " if err.filename else ""
        return _fail(args.command, where + (err.strerror or str(err)), 1)
    except KeyboardInterrupt:
        return _fail(args.command, "interrupted", 130)
    return code or 0


def _import_problem(err: ImportError) -> str:
    """One line for a missing optional package or an unbuilt native module; re-raise the rest."""
    if err.name in OPTIONAL_PACKAGES:
        return f"this command needs {err.name}: pip install 'velmorakit[app]'"
    if (err.name or "").startswith("velmorakit.middleware"):
        return f"velmorakit's native modules are not importable ({err}); run `pip install .`"
    raise err


def _fail(command: str, message: str, code: int) -> int:
    print(f"velmorakit {command}: error: {message}", file=sys.stderr)
    return code
