"""A digest of what the engine computes over one stream, to compare two CPUs bit for bit.

    python engine_digest.py --write DIR    (host) saves a simulated stream and the filter designs
    python engine_digest.py DIR            prints the digest of the engine's run over them

Both runs must start from the same bits: the stream is simulated once, on the host, and the
filter designs come from the host's SciPy (`signal.butter` differs in the last bits between
SciPy releases); linear resampling uses SciPy's older (slope) formula on both, since the engine
otherwise follows the installed SciPy. The digest covers every cycle's filtered window and every
segment's feature vector and displacement.
"""

import hashlib
import os
import pathlib
import pickle
import sys
import tempfile

import numpy as np

# Read once, when the engine's module is imported.
os.environ["VELMORA_LINEAR_FORMULA"] = "slope"
from velmorakit.middleware.utilities import velmora_computing  # noqa: E402

DESIGNS = ["b_acc", "a_acc", "b_vel", "a_vel", "b_veltot", "a_veltot"]
NUM_SAMPLE = 10
LABELS = ["a", "b"]


class ConstantClassifier:
    """The same probabilities for every segment: the digest is about the engine's numbers."""

    classes_ = np.arange(len(LABELS))

    def predict_proba(self, features):
        return np.array([[0.7, 0.3]])


class IndexEncoder:
    def inverse_transform(self, indicator):
        return np.array([[LABELS[int(np.argmax(indicator))]]], dtype=object)


def new_engine():
    folder = pathlib.Path(tempfile.mkdtemp())
    paths = [folder / "model.pkl", folder / "encoder.pkl"]
    for path, obj in zip(paths, [ConstantClassifier(), IndexEncoder()], strict=True):
        path.write_bytes(pickle.dumps(obj))
    return velmora_computing.VelmoraComputing(*map(str, paths))


def write_inputs(folder):
    from velmorakit.workbench.simulation.synthetic import simulate_session

    folder.mkdir(parents=True, exist_ok=True)
    np.save(folder / "stream.npy", simulate_session(300.0, 3).samples)
    engine = new_engine()
    np.savez(folder / "designs.npz", **{name: getattr(engine, name) for name in DESIGNS})


def digest(folder):
    engine = new_engine()
    for name, design in np.load(folder / "designs.npz").items():
        setattr(engine, name, design)
    h = hashlib.sha256()
    cycles = segments = 0
    for index, row in enumerate(np.load(folder / "stream.npy")):
        engine.push_data([float(v) for v in row])
        if index % NUM_SAMPLE == NUM_SAMPLE - 1:
            label, _, _, displacement = engine.run()
            cycles += 1
            h.update(engine.acc_filt_m.tobytes() + engine.vel_filt_m.tobytes())
            if label is not None:
                segments += 1
                h.update(engine.gest_ut.tobytes() + np.float64(displacement).tobytes())
    return f"{cycles} cycles, {segments} segments: {h.hexdigest()}"


if __name__ == "__main__":
    if sys.argv[1] == "--write":
        write_inputs(pathlib.Path(sys.argv[2]))
    else:
        print(digest(pathlib.Path(sys.argv[1])))
