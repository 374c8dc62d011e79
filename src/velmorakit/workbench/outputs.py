"""Files written so that nothing is lost.

An output that is one of the command's inputs (the same file, also through a link or another
spelling of its path) is refused before anything is read. Each file is written under a
temporary name beside its destination and renamed into place, so an interrupted or failed
write leaves the old file or the new one, never half of one; files that belong together are
renamed one after the other with Ctrl-C held back, so that they are replaced as a pair.
"""

import os
import secrets
import signal
import stat
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

from .errors import WorkbenchError


def same_file(a: str | Path, b: str | Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet): compare where the paths lead
        return Path(a).resolve() == Path(b).resolve()


def refuse_inputs_as_outputs(inputs: Iterable, outputs: Iterable) -> None:
    """A WorkbenchError if one of `outputs` is one of `inputs` or another output; None
    entries (options not given) are skipped."""
    inputs = [Path(p) for p in inputs if p is not None]
    outputs = [Path(p) for p in outputs if p is not None]
    for k, output in enumerate(outputs):
        for source in inputs:
            if same_file(output, source):
                raise WorkbenchError(
                    f"{output}: writing it would replace the input {source}; choose another output"
                )
        for other in outputs[:k]:
            if same_file(output, other):
                raise WorkbenchError(f"{output}: given twice as an output (also as {other})")


@contextmanager
def replacing(*paths: str | Path, removing: Iterable = ()) -> Iterator[list[Path]]:
    """Temporary files beside `paths` to write into. When the block ends without an error,
    the files in `removing` are deleted and the temporary files renamed onto `paths` in the
    order given, with Ctrl-C held back meanwhile; on an error they are deleted and every
    destination is left as it was. A destination that is a link is replaced where it
    points; one that exists keeps its permissions."""
    targets = [Path(os.path.realpath(p)) for p in paths]
    for path, target in zip(paths, targets, strict=True):
        if target.is_dir():
            raise WorkbenchError(f"{path}: a directory, not a file")
    temps = []
    try:
        for target in targets:
            target.parent.mkdir(parents=True, exist_ok=True)
            temps.append(_new_file_beside(target))
        yield temps
        with ctrl_c_held():
            for path in removing:
                Path(path).unlink(missing_ok=True)
            for temp, target in zip(temps, targets, strict=True):
                if target.exists():
                    os.chmod(temp, stat.S_IMODE(target.stat().st_mode))
                os.replace(temp, target)
    finally:
        for temp in temps:
            temp.unlink(missing_ok=True)


def _new_file_beside(target: Path) -> Path:
    """An empty file in the destination's directory, made with the permissions a new file
    gets there (the process's umask applies)."""
    while True:
        temp = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
        try:
            os.close(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return temp
        except FileExistsError:
            continue
        except OSError as err:
            raise WorkbenchError(f"{target}: cannot write there ({err.strerror})") from None


def check_writable_directory(path: str | Path) -> None:
    """Create the directory of `path` if need be and make sure that a file can be made there,
    before work whose result would otherwise be lost at the end."""
    target = Path(os.path.realpath(path))
    target.parent.mkdir(parents=True, exist_ok=True)
    _new_file_beside(target).unlink()


@contextmanager
def ctrl_c_held() -> Iterator[None]:
    """Ctrl-C (SIGINT) taking effect only once the block has ended. Signal handlers can only
    be changed in the main thread; elsewhere the block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught = []
    previous = signal.signal(signal.SIGINT, lambda *frame: caught.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.SIG_DFL if previous is None else previous)
        if caught and callable(previous):
            previous(*caught[0])
        elif caught and previous == signal.SIG_DFL:
            signal.raise_signal(signal.SIGINT)
