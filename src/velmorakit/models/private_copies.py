"""Checked model bytes written into a private directory, for a worker that opens files by name.

The gesture worker opens its classifier and encoder itself. Handing it the files that were
checked would let it read something else if they changed in between (a `train -o` into the
same directory, a copy over them). Instead the bytes that were read, hashed and unpickled
are written into a fresh directory that only this user may enter (mode 0700), and the worker
is given those. Each directory is removed by `remove`, or else when this process exits.
"""

import atexit
import os
import shutil
import tempfile
from pathlib import Path

_directories: dict[Path, int] = {}  # directory: the process that wrote it


def write_copies(files: dict[str, bytes]) -> Path:
    """A new private directory holding `files` (name: bytes), each readable by this user only."""
    directory = Path(tempfile.mkdtemp(prefix="velmorakit-model-"))
    _directories[directory] = os.getpid()
    try:
        for name, data in files.items():
            handle = os.open(directory / name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(handle, "wb") as out:
                out.write(data)
    except BaseException:
        remove_copies(directory)
        raise
    return directory


def remove_copies(directory: Path) -> None:
    _directories.pop(directory, None)
    shutil.rmtree(directory, ignore_errors=True)


@atexit.register
def _remove_all() -> None:
    # A child forked from this process inherits the table: each process removes only the
    # directories it wrote.
    for directory, writer in list(_directories.items()):
        if writer == os.getpid():
            remove_copies(directory)
