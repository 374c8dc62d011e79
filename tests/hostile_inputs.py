"""Hypothesis strategies for what a careless or hostile caller hands the native modules, and a
checker that a call ended in a value or an ordinary Python exception.

A native module may refuse anything, but only by raising: a crash, a sanitizer report or a
`SystemError` (an error return without an exception, or a C-API misuse) is a fault.
"""

import math
import os
from fractions import Fraction

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

# Fuzz example counts: modest in the default suite; `make sanitize` and soak runs raise them.
EXAMPLES = int(os.environ.get("VELMORA_FUZZ_EXAMPLES", "40"))

BOUNDARY_INTS = [0, 1, -1, 2, 7, 99, 100, 101, 2**31 - 1, 2**31, 2**63 - 1, -(2**63), 2**64, 10**30]
SPECIAL_FLOATS = [0.0, -0.0, 0.02, 0.4, 1e-300, 1e300, -1e300, math.inf, -math.inf, math.nan]
ARRAY_DTYPES = ["<f8", ">f8", "<f4", "<i8", "<u1", "?", "<c16", "<U4", "<m8[s]"]


def ok_or_raises(call, *args):
    """(True, value) or (False, exception); a SystemError or a non-Exception fails the test."""
    try:
        return True, call(*args)
    except SystemError:
        raise
    except Exception as error:  # noqa: BLE001 - any ordinary exception is an acceptable refusal
        return False, error


class Cranky:
    """A number-like object whose conversions misbehave."""

    def __init__(self, mode):
        self.mode = mode

    def __float__(self):
        if self.mode == "raise":
            raise RuntimeError("no float today")
        if self.mode == "wrong":
            return "not a float"
        return 1.5

    def __index__(self):
        if self.mode == "raise":
            raise RuntimeError("no index today")
        return 3

    def __repr__(self):
        return f"Cranky({self.mode!r})"


finite = st.floats(allow_nan=False, allow_infinity=False)
any_float = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS))
scalars = st.one_of(
    any_float,
    st.integers(min_value=-(10**6), max_value=10**6),
    st.sampled_from(BOUNDARY_INTS),
    st.booleans(),
    st.none(),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.complex_numbers(max_magnitude=10),
    st.just(Fraction(1, 3)),
    st.sampled_from([np.float32(2.5), np.int8(-3), np.float64(math.nan), np.bool_(True)]),
    st.builds(Cranky, st.sampled_from(["raise", "wrong", "fine"])),
    st.just(object()),
)


# Filter orders: SciPy allocates in proportion to the order, so beyond 20 only the kinds vary.
filter_orders = st.one_of(
    st.integers(min_value=-3, max_value=20),
    st.floats(min_value=-3, max_value=20),
    st.sampled_from([math.nan, math.inf, -math.inf, None, "5", Fraction(9, 2), np.int8(4)]),
    st.builds(Cranky, st.sampled_from(["raise", "wrong", "fine"])),
)


def arrays(shapes=None):
    """NumPy arrays of many dtypes and shapes, sometimes non-contiguous or read-only."""
    if shapes is None:
        shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=8)
    base = st.sampled_from(ARRAY_DTYPES).flatmap(lambda dtype: hnp.arrays(np.dtype(dtype), shapes))
    return st.tuples(base, st.sampled_from(["as is", "fortran", "strided", "read-only"])).map(
        _twist
    )


def _twist(args):
    array, how = args
    if how == "fortran":
        return np.asfortranarray(array)
    if how == "strided" and array.ndim and array.shape[0] > 1:
        return array[::-1]
    if how == "read-only":
        array = array.copy()
        array.flags.writeable = False
    return array


def shaped_float_arrays(shape):
    """Float64 arrays of exactly `shape` holding anything, including NaN and infinities."""
    return hnp.arrays(np.float64, shape, elements=any_float)


# One sample as it might come off a pipe: right and wrong lengths, values of every kind.
sample_rows = st.one_of(
    st.lists(finite, min_size=6, max_size=6),
    st.lists(any_float, min_size=6, max_size=6),
    st.lists(any_float, max_size=9),
    st.lists(scalars, min_size=6, max_size=6),
    st.lists(scalars, max_size=8),
    st.tuples(*[finite] * 6),
    st.lists(st.lists(finite, max_size=3), max_size=6),
    arrays(),
    hnp.arrays(
        np.float64, st.sampled_from([(6,), (2, 3), (1, 6), (6, 1), (7,)]), elements=any_float
    ),
    scalars,
    st.dictionaries(st.text(max_size=2), finite, max_size=6),
)


def junk_values(shape=None):
    """A replacement for an instance field: anything, or an array of the field's own shape."""
    choices = [
        scalars,
        arrays(),
        st.lists(scalars, max_size=4),
        st.lists(st.integers(min_value=-300, max_value=300), min_size=2, max_size=2),
        st.lists(any_float, min_size=2, max_size=2),
    ]
    if shape is not None:
        choices += [shaped_float_arrays(shape), arrays(st.just(shape))]
    return st.one_of(choices)


# Fields that the engine and the shaper both keep, with the shape of a typical value (None:
# a scalar); the fuzz tests replace them with values of other kinds and shapes.
WINDOW_FIELD_SHAPES = {
    "data_m": (100, 7),
    "acc_filt_m": (100, 3),
    "vel_filt_m": (100, 3),
    "veltot_filt_a": (100,),
    "time_a": (100,),
    "b_acc": (6,),
    "a_acc": (6,),
    "b_vel": (6,),
    "a_vel": (6,),
    "b_veltot": (2,),
    "a_veltot": (2,),
    "min_time_a": (2,),
    "min_index_a": (2,),
    "seg_time_a": (20,),
    "seg_acc_m": (20, 3),
    "seg_vel_m": (20, 3),
    "last_max_time": None,
    "data_counter": None,
}
