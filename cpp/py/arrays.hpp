// NumPy arrays for the modules: creation of float64 arrays and checked access to array fields.
#pragma once

#include "py/numpy_api.hpp"
#include "py/ref.hpp"

namespace py {

// Imports the NumPy C API once per module; false with an exception set on failure.
bool import_numpy();

// New C-ordered float64 arrays: uninitialised, or filled with zeros.
PyObject* new_float64(npy_intp rows, npy_intp cols = -1);
PyObject* zeros_float64(npy_intp rows, npy_intp cols = -1);

// A NumPy float64 scalar (what indexing a float64 array returns).
PyObject* float64_scalar(double value);

inline double* float64_data(PyObject* array) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// Read access to a float64 array of one or two dimensions, strides in elements.
struct Float64View {
  Ref owner;               // keeps a converted copy alive
  bool converted = false;  // read from a copy that NumPy made (which may have run Python code)
  const double* data = nullptr;
  npy_intp rows = 0;
  npy_intp cols = 1;
  npy_intp row_stride = 0;
  npy_intp col_stride = 0;
  double at(npy_intp r, npy_intp c = 0) const { return data[r * row_stride + c * col_stride]; }
};

// Views `obj` as a float64 array of `ndim` (1 or 2) dimensions, converting it if NumPy can.
// A negative `rows` or `cols` accepts any length; `contiguous` asks for C order (copying if
// needed). Raises TypeError or ValueError naming `what`.
bool read_float64(PyObject* obj, const char* what, int ndim, npy_intp rows, npy_intp cols,
                  Float64View* out, bool contiguous = false);
// The same, naming it by a str (a field name), converted only for a message.
bool read_float64(PyObject* obj, PyObject* what, int ndim, npy_intp rows, npy_intp cols,
                  Float64View* out, bool contiguous = false);

// The data of `obj` if it is a NumPy array (no subclass) of rows x cols float64 values
// (cols < 0: one dimension), C-ordered and writable, that owns its data; nullptr otherwise,
// with no exception set.
double* own_float64_data(PyObject* obj, npy_intp rows, npy_intp cols);

// The data of a writable, C-contiguous float64 array of exactly rows x cols, no conversion.
bool writable_float64(PyObject* obj, const char* what, npy_intp rows, npy_intp cols, double** data);

}  // namespace py
