"""Segment files (.npz, as `numpy.savez_compressed` writes them) built from segment sets added
one at a time.

The feature vectors of a long recording cut at every phase run to hundreds of megabytes, so
they wait in unnamed temporary files beside the output rather than in memory; only the small
per-segment arrays (labels, bounds, sources) are held until the file is written.
"""

import shutil
import tempfile
import zipfile
from pathlib import Path

import numpy as np

from ..outputs import replacing

# Bytes copied at a time from a temporary file into the archive.
COPY_BYTES = 1 << 24


def segments_path(path: str | Path) -> Path:
    """Where `save_segments` writes: `path`, with `.npz` added to another name, as NumPy does."""
    path = Path(path)
    return path if path.suffix == ".npz" else path.with_name(path.name + ".npz")


class _Matrix:
    """Rows of float64 of one width, appended to an unnamed temporary file."""

    def __init__(self, directory: Path, width: int):
        self.width, self.rows = width, 0
        self.file = tempfile.TemporaryFile(dir=directory)

    def append(self, rows: np.ndarray) -> None:
        rows = np.ascontiguousarray(rows, dtype=np.float64).reshape(-1, self.width)
        self.file.write(rows.data)
        self.rows += len(rows)

    def write_npy(self, out) -> None:
        """The rows as a .npy file, written to the binary stream `out`."""
        header = {"descr": "<f8", "fortran_order": False, "shape": (self.rows, self.width)}
        np.lib.format.write_array_header_1_0(out, header)
        self.file.seek(0)
        shutil.copyfileobj(self.file, out, COPY_BYTES)


class SegmentFileWriter:
    """Segment sets added in order and written as one segment file, the same as `save_segments`
    of their concatenation would write it."""

    def __init__(self, directory: str | Path, width: int):
        directory = Path(directory)
        self.features = _Matrix(directory, width)
        self.unlabelled = _Matrix(directory, width)
        self.small: dict[str, list[np.ndarray]] = {}
        self.steps: set[int] = set()
        self.placed = True  # every part knows where its unlabelled segments lie
        self.recordings: dict[str, str] = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.features.file.close()
        self.unlabelled.file.close()

    def add(self, part) -> None:
        """One `SegmentSet`."""
        self.features.append(part.features)
        self.unlabelled.append(part.unlabelled)
        for key in ("labels", "bounds", "sources", "gestures"):
            self.small.setdefault(key, []).append(getattr(part, key))
        self.placed &= len(part.unlabelled_bounds) == len(part.unlabelled)
        self.small.setdefault("unlabelled_bounds", []).append(part.unlabelled_bounds)
        self.small.setdefault("unlabelled_sources", []).append(part.unlabelled_sources)
        self.steps.add(part.step)
        self.recordings.update(part.recordings)

    def _arrays(self) -> dict[str, np.ndarray | _Matrix]:
        """The file's arrays by name, in the order `save_segments` has always written them."""
        joined = {key: np.concatenate(parts) for key, parts in self.small.items()}
        step = next(iter(self.steps)) if len(self.steps) == 1 else 0
        return {
            "features": self.features,
            "labels": joined["labels"].astype(str),
            "bounds": joined["bounds"].reshape(-1, 2).astype(np.int64),
            "sources": joined["sources"].astype(str),
            "gestures": joined["gestures"].astype(np.int64),
            "step": np.asanyarray(step),
            "unlabelled": self.unlabelled,
            "unlabelled_bounds": joined["unlabelled_bounds"].reshape(-1, 2).astype(np.int64)
            if self.placed
            else np.zeros((0, 2), dtype=np.int64),
            "unlabelled_sources": joined["unlabelled_sources"].astype(str)
            if self.placed
            else np.zeros(0, dtype=str),
            "recording_names": np.array(list(self.recordings), dtype=str),
            "recording_paths": np.array(list(self.recordings.values()), dtype=str),
        }

    def save(self, path: str | Path) -> Path:
        """Write the file through a temporary one and a rename; like NumPy, add `.npz` to a
        name without it. Returns the name written."""
        path = segments_path(path)
        arrays = self._arrays()
        with (
            replacing(path) as (temp,),
            zipfile.ZipFile(temp, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as archive,
        ):
            for key, value in arrays.items():
                with archive.open(key + ".npy", "w", force_zip64=True) as out:
                    if isinstance(value, _Matrix):
                        value.write_npy(out)
                    else:
                        np.lib.format.write_array(out, value, allow_pickle=False)
        return path
