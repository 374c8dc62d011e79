// Reading and writing the instance fields that the stages share.
#pragma once

#include "dsp/strided.hpp"
#include "dsp/window_filter.hpp"
#include "py/arrays.hpp"
#include "py/fields.hpp"

namespace stages {

constexpr npy_intp kWidth = static_cast<npy_intp>(dsp::kRowWidth);

py::Ref field(PyObject* self, PyObject* name);
py::Ref field(const py::Fields& f, PyObject* name);

// Assigns a new reference to self.name and releases it; false (with an exception) on error or
// when `value` is nullptr.
bool set_field(PyObject* self, PyObject* name, PyObject* value);

// A float64 field of the given dimensions (negative: any length), read in place when it is a
// well-formed array, converted otherwise; TypeError or ValueError naming the field.
bool read_field(const py::Fields& self, PyObject* name, int ndim, npy_intp rows, npy_intp cols,
                py::Float64View* out, bool contiguous = false);

dsp::Strided strided(const py::Float64View& v);

// Rows [first, first + n) of a view, copied into a new C-ordered array.
PyObject* copy_rows(const py::Float64View& v, npy_intp first, npy_intp n, npy_intp cols);

// A new two-element list.
PyObject* pair_list(PyObject* first, PyObject* second);

}  // namespace stages
