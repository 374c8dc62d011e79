"""The `velmorakit` command line: one subcommand per module of `commands`, errors as one line."""

import argparse
import contextlib
import os
import sys
import warnings
from pathlib import Path

from ..errors import InputError
from .commands import demo, evaluate, import_, listen, plot, record, shape, simulate, train
from .install_hints import install_hint


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmorakit", description="Real-time motion-gesture recognition: tools and demo."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    for command in (simulate, import_, shape, train, evaluate, plot, demo, listen, record):
        command.register(commands)
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
    if model and not os.path.lexists(model):
        return _fail(args.command, f"{model}: no such file or directory", 1)
    if model and not encoder and not Path(model).is_dir():
        return _fail(
            args.command, "give --encoder with a pickled --model, or a bundle as --model", 2
        )
    try:
        # Files the command makes for its own use (the worker's private model copies) are
        # removed when it ends, whichever way it ends.
        with contextlib.ExitStack() as args.cleanup, warnings.catch_warnings():
            warnings.showwarning = _warning_line(args.command)
            code = args.handler(args)
        sys.stdout.flush()  # a closed pipe shows here, inside the try, rather than at exit
    except BrokenPipeError:
        # The reader went away (`velmorakit evaluate ... | head`): point standard output at
        # the null device so that the flush at exit fails no more, and exit as Python does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except InputError as err:
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
        return f"this command needs {err.name}: {install_hint(err.name)}"
    if (err.name or "").startswith("velmorakit.middleware"):
        return f"velmorakit's native modules are not importable ({err}); run `pip install .`"
    raise err


def _warning_line(command: str):
    """A `warnings.showwarning` that prints each warning as one line naming the command, the
    way errors are shown. scikit-learn's own warning about a model pickled by another release
    is left out once a bundle has said so."""
    from ..models.bundle import BundleVersionWarning

    said = set()

    def show(message, category, filename, lineno, file=None, line=None):
        if category.__name__ == "InconsistentVersionWarning" and BundleVersionWarning in said:
            return
        said.add(category)
        print(f"velmorakit {command}: warning: {' '.join(str(message).split())}", file=sys.stderr)

    return show


def _fail(command: str, message: str, code: int) -> int:
    print(f"velmorakit {command}: error: {message}", file=sys.stderr)
    return code
