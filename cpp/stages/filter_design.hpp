// Filter designs: the Butterworth low-pass coefficients that the constructor stores in the
// instance, and their reading back into the numeric core's filter state.
#pragma once

#include "dsp/window_filter.hpp"
#include "py/arrays.hpp"

namespace stages {

// The static _design_filter(order, cutoff, f_nyq): scipy.signal.butter(order, cutoff / f_nyq,
// 'lowpass').
PyObject* design_filter_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// The three designs of the constructor: the instance's FILT_* designs passed to its
// _design_filter, with the Nyquist frequency F_SAMP / 2 read through the class; each result
// unpacked into its (b, a) fields.
bool design_filters(PyObject* self, PyObject* cls);

// The coefficient fields of the three filters, as filter state for the numeric core.
// `quiet`, when given, is cleared if a field had to be converted (which may run Python code);
// `dict`, as for field(), is used only while it holds.
bool read_filters(PyObject* self, dsp::WindowFilters* out, bool* quiet = nullptr,
                  PyObject* dict = nullptr);

}  // namespace stages
