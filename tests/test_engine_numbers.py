"""The native engine against its NumPy/SciPy transcription, cycle by cycle.

Every buffer, segment field, feature vector and result must be the same number for number.
"""

import numpy as np
import pytest
from reference import ReferenceComputing
from streams import gesture_stream, random_stream

from velmorakit.middleware.utilities import VelmoraComputing

WINDOW_FIELDS = ["data_m", "acc_filt_m", "vel_filt_m", "time_a", "data_counter"]
SEGMENT_FIELDS = [
    "last_max_time",
    "min_time_a",
    "min_index_a",
    "time_duration",
    "seg_acc_m",
    "seg_vel_m",
    "acc_int",
    "vel_int",
    "gest_ut",
    "pre_gest",
    "gesture",
]


def assert_same(native, reference, what):
    if isinstance(reference, np.ndarray):
        assert isinstance(native, np.ndarray), what
        assert native.dtype == reference.dtype and native.shape == reference.shape, what
        assert np.array_equal(native, reference, equal_nan=True), what
    elif isinstance(reference, list):
        assert isinstance(native, list) and len(native) == len(reference), what
        for a, b in zip(native, reference, strict=True):
            assert_same(a, b, what)
    else:
        assert type(native) is type(reference) and native == reference, (what, native, reference)


def assert_engines_agree(native, reference, segment_cycle):
    for name in WINDOW_FIELDS + [f for f in SEGMENT_FIELDS if hasattr(reference, f)]:
        assert_same(getattr(native, name), getattr(reference, name), name)
    if segment_cycle:
        # The transcription's seg_time_a is a view of data_m that later pushes change.
        assert_same(native.seg_time_a, reference.seg_time_a, "seg_time_a")
    # The magnitude's squares may differ by an ulp where NumPy's power uses SIMD; the filtered
    # magnitude then agrees to rounding.
    np.testing.assert_allclose(native.veltot_filt_a, reference.veltot_filt_a, rtol=1e-12, atol=0)


def drive(native, reference, samples, batch, reset_every=None):
    """Pushes batches into both engines, runs a cycle after each and compares everything."""
    segments = 0
    for start in range(0, len(samples), batch):
        for row in samples[start : start + batch]:
            pushed_native, pushed_reference = list(row), list(row)
            native.push_data(pushed_native)
            reference.push_data(pushed_reference)
            assert pushed_native == pushed_reference
        if reset_every and (start // batch) % reset_every == reset_every - 1:
            native.data_init()
            reference.data_init()
            continue
        result, expected = native.run(), reference.run()
        for a, b in zip(result, expected, strict=True):
            assert_same(a, b, "result")
        assert_engines_agree(native, reference, expected[0] is not None)
        segments += expected[0] is not None
    return segments


@pytest.fixture
def engines(sklearn_model_files):
    return VelmoraComputing(*sklearn_model_files), ReferenceComputing(*sklearn_model_files)


@pytest.mark.parametrize("batch", [1, 7, 10])
def test_gesture_streams_match_transcription(engines, batch):
    samples, strokes = gesture_stream(12, seed=batch)
    assert drive(*engines, samples, batch) >= len(strokes) - 1


@pytest.mark.parametrize("seed", [1, 2])
def test_random_streams_match_transcription(engines, seed):
    # Random values under bursts of a slow envelope, so that segments do occur.
    samples = random_stream(900, seed)
    samples *= 2.0 * np.sin(np.arange(len(samples)) * np.pi / 120.0)[:, None] ** 8
    assert drive(*engines, samples, batch=3) > 5


def test_resets_match_transcription(engines):
    samples, _ = gesture_stream(8, seed=11)
    drive(*engines, samples, batch=10, reset_every=7)


def test_filter_designs_are_scipy_butterworth(engines):
    native, reference = engines
    for name in ["b_acc", "a_acc", "b_vel", "a_vel", "b_veltot", "a_veltot"]:
        assert_same(getattr(native, name), getattr(reference, name), name)
    assert_same(VelmoraComputing._design_filter(5.9, 4, 25.0)[0], reference.b_acc, "order 5.9")


def test_other_filter_orders_follow_lfilter(engines):
    """Coefficients of other orders take the general path, still with lfilter's numbers."""
    from scipy import signal

    native, _ = engines
    rng = np.random.default_rng(5)
    for _ in range(120):
        native.push_data(list(rng.normal(size=6)))
    native.b_acc, native.a_acc = signal.butter(3, 0.3)
    native.b_veltot, native.a_veltot = signal.butter(2, 0.1)
    native.data_filter()
    data = native.data_m
    assert np.array_equal(
        native.acc_filt_m, signal.lfilter(native.b_acc, native.a_acc, data[:, 0:3], axis=0)
    )
    assert np.array_equal(
        native.vel_filt_m, signal.lfilter(native.b_vel, native.a_vel, data[:, 3:6], axis=0)
    )
    magnitude = np.sqrt(np.power(data[:, 3:6], 2).sum(axis=1))
    np.testing.assert_allclose(
        native.veltot_filt_a,
        signal.lfilter(native.b_veltot, native.a_veltot, magnitude),
        rtol=1e-12,
    )


@pytest.mark.parametrize("kernel", ["pair", "avx"])
def test_narrower_kernels_match_transcription(sklearn_model_files, kernel):
    """The kernels for CPUs without AVX-512 or AVX, selected through the environment in a child."""
    import os
    import subprocess
    import sys

    script = (
        "import sys; sys.path[:0] = sys.argv[1:]\n"
        "import test_engine_numbers as t\n"
        "from streams import gesture_stream\n"
        "from reference import ReferenceComputing\n"
        "from velmorakit.middleware.utilities import VelmoraComputing\n"
        f"files = {tuple(sklearn_model_files)!r}\n"
        "samples, _ = gesture_stream(4, seed=9)\n"
        "assert t.drive(VelmoraComputing(*files), ReferenceComputing(*files), samples, 5) >= 3\n"
    )
    tests_dir = os.path.dirname(__file__)
    env = dict(os.environ, VELMORA_FILTER_KERNEL=kernel)
    subprocess.run([sys.executable, "-c", script, tests_dir], env=env, check=True, timeout=120)


def formula_inputs():
    """A segment's stamps, acceleration and velocity on which the two formulas differ."""
    rng = np.random.default_rng(12)
    return np.arange(37, 61) * 0.02, rng.normal(size=(24, 3)), rng.normal(size=(24, 3))


def resample(time, acc, vel):
    from velmorakit.middleware.utilities.dataset_shaper import DatasetShaper

    shaper = DatasetShaper()
    shaper.seg_time_a, shaper.seg_acc_m, shaper.seg_vel_m = time, acc, vel
    shaper.min_time_a = [time[0], time[-1]]
    shaper.data_interpolation()
    return np.stack([shaper.acc_int, shaper.vel_int])


def numpy_formula(formula, time, values, at):
    hi = np.clip(np.searchsorted(time, at), 1, len(time) - 1)
    x_lo, x_hi, t = time[hi - 1][:, None], time[hi][:, None], at[:, None]
    y_lo, y_hi = values[hi - 1], values[hi]
    if formula == "slope":
        return ((y_hi - y_lo) / (x_hi - x_lo)) * (t - x_lo) + y_lo
    return ((t - x_lo) / (x_hi - x_lo)) * y_hi + ((x_hi - t) / (x_hi - x_lo)) * y_lo


def test_resampling_uses_the_formula_of_the_installed_scipy(tmp_path):
    """SciPy's linear interp1d computes with one of two formulas that differ in the last bit
    (SciPy 1.18 on: weighted, before: slope). The formula chosen at import must reproduce the
    installed interp1d bit for bit; each formula, forced through VELMORA_LINEAR_FORMULA in a
    child, must compute what NumPy computes for its expression; a name of neither fails the
    import. The switch is no module attribute."""
    import os
    import subprocess
    import sys

    from scipy import interpolate

    from velmorakit.middleware.utilities import dataset_shaper, velmora_computing

    assert not hasattr(dataset_shaper, "_linear_formula")
    assert not hasattr(velmora_computing, "_linear_formula")
    time, acc, vel = formula_inputs()
    at = np.linspace(time[0], time[-1], 50)
    installed = np.stack([interpolate.interp1d(time, v, axis=0)(at) for v in (acc, vel)])
    assert np.array_equal(resample(time, acc, vel), installed)

    script = (
        "import sys; sys.path[:0] = sys.argv[1:2]\n"
        "import numpy as np\n"
        "import test_engine_numbers as t\n"
        "np.save(sys.argv[2], t.resample(*t.formula_inputs()))\n"
    )
    forced = {}
    for formula in ["weighted", "slope", "cubic"]:
        out = tmp_path / f"{formula}.npy"
        child = subprocess.run(
            [sys.executable, "-c", script, os.path.dirname(__file__), str(out)],
            env=dict(os.environ, VELMORA_LINEAR_FORMULA=formula),
            capture_output=True,
            text=True,
            timeout=120,
        )
        if formula == "cubic":
            assert child.returncode != 0
            assert "VELMORA_LINEAR_FORMULA must be weighted or slope" in child.stderr
        else:
            assert child.returncode == 0, child.stderr
            forced[formula] = np.stack([numpy_formula(formula, time, v, at) for v in (acc, vel)])
            assert np.array_equal(np.load(out), forced[formula]), formula
    assert not np.array_equal(forced["weighted"], forced["slope"])
