#include "stages/field_access.hpp"

namespace stages {

using py::Ref;

Ref field(PyObject* self, PyObject* name) { return Ref::steal(PyObject_GetAttr(self, name)); }
Ref field(const py::Fields& f, PyObject* name) { return Ref::steal(f.get(name)); }

bool set_field(PyObject* self, PyObject* name, PyObject* value) {
  if (!value) return false;
  const int rc = PyObject_SetAttr(self, name, value);
  Py_DECREF(value);
  return rc == 0;
}

bool read_field(const py::Fields& self, PyObject* name, int ndim, npy_intp rows, npy_intp cols,
                py::Float64View* out, bool contiguous) {
  Ref value = field(self, name);
  if (!value) return false;
  return py::read_float64(value.get(), name, ndim, rows, cols, out, contiguous);
}

dsp::Strided strided(const py::Float64View& v) {
  return dsp::Strided{v.data, v.row_stride, v.col_stride};
}

PyObject* copy_rows(const py::Float64View& v, npy_intp first, npy_intp n, npy_intp cols) {
  PyObject* out = py::new_float64(n, cols);
  if (!out) return nullptr;
  double* dst = py::float64_data(out);
  const npy_intp width = cols < 0 ? 1 : cols;
  for (npy_intp r = 0; r < n; ++r) {
    for (npy_intp c = 0; c < width; ++c) dst[r * width + c] = v.at(first + r, c);
  }
  return out;
}
PyObject* pair_list(PyObject* first, PyObject* second) {
  PyObject* list = PyList_New(2);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, Py_NewRef(first));
  PyList_SET_ITEM(list, 1, Py_NewRef(second));
  return list;
}

}  // namespace stages
