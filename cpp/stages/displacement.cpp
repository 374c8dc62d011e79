#include "stages/displacement.hpp"

#include <cstring>
#include <vector>

#include "dsp/displacement.hpp"
#include "dsp/window_filter.hpp"
#include "stages/fields.hpp"

namespace stages {

using py::Ref;

namespace {

// The label stands between the first two apostrophes of the rendered label array (after the
// first when there is only one). Returns its column (0 x, 1 y, 2 z), 3 when it names no axis,
// -1 on error.
int axis_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "gesture must be a str, not %.200s", Py_TYPE(text)->tp_name);
    return -1;
  }
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
  const Py_ssize_t open = PyUnicode_FindChar(text, '\'', 0, len, 1);
  if (open < 0) {
    if (open == -1) PyErr_SetString(PyExc_IndexError, "list index out of range");
    return -1;
  }
  Py_ssize_t close = PyUnicode_FindChar(text, '\'', open + 1, len, 1);
  if (close == -2) return -1;
  if (close == -1) close = len;
  Ref label = Ref::steal(PyUnicode_Substring(text, open + 1, close));
  if (!label) return -1;
  static const char* const words[] = {"right", "left", "forward", "backward", "up", "down"};
  for (int i = 0; i < 6; ++i) {
    if (PyUnicode_CompareWithASCIIString(label.get(), words[i]) == 0) return i / 2;
  }
  return 3;
}

bool bound_value(PyObject* bounds, Py_ssize_t i, long long* out) {
  Ref item = Ref::steal(PySequence_GetItem(bounds, i));
  Ref index = item ? Ref::steal(PyNumber_Index(item.get())) : Ref();
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  // Far beyond any window either way: clamp so the row arithmetic cannot overflow.
  constexpr long long kFar = 1LL << 40;
  *out = overflow > 0 ? kFar : overflow < 0 ? -kFar : (v > kFar ? kFar : v < -kFar ? -kFar : v);
  return true;
}

}  // namespace

bool displacement_stage(PyObject* self, Constants k) {
  const Names& n = names();
  Ref data_obj = field(self, n.data_m);
  Ref bounds = data_obj ? field(self, n.min_index_a) : Ref();
  Ref text = bounds ? field(self, n.gesture) : Ref();
  if (!text) return false;
  py::Float64View data;
  long long left, right;
  if (!py::read_float64(data_obj.get(), "data_m", 2, k.rows, 7, &data, true) ||
      !bound_value(bounds.get(), 0, &left) || !bound_value(bounds.get(), 1, &right)) {
    return false;
  }
  const int axis = axis_of(text.get());
  if (axis < 0) return false;
  const dsp::DisplacementWindow w =
      dsp::displacement_window(left, right, k.disp_delay, static_cast<std::size_t>(k.rows));
  Ref disp;
  if (axis == 3 || w.size() < 2) {
    disp = Ref::steal(PyLong_FromLong(0));
  } else {
    double centred[1024];
    std::vector<double> large;
    double* buf = centred;
    if (w.size() > 1024) {
      large.resize(w.size());
      buf = large.data();
    }
    dsp::centred_column(data.data, dsp::kRowWidth, static_cast<std::size_t>(axis), w, buf);
    const double integral = dsp::double_integral(dsp::Strided{buf, 1, 0}, w.size(), k.dt);
    disp = Ref::steal(py::float64_scalar(dsp::round_thousandths(integral)));
  }
  return set_field(self, n.disp, disp.release());
}

PyObject* calc_displacement(PyObject* samples, double dt) {
  Ref values = Ref::steal(PyArray_FROMANY(samples, NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
  if (!values) return nullptr;
  const npy_intp count = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(values.get()));
  if (count < 2) return PyLong_FromLong(0);
  const double integral = dsp::double_integral(dsp::Strided{py::float64_data(values.get()), 1, 0},
                                               static_cast<std::size_t>(count), dt);
  bool numpy_values = PyArray_Check(samples);
  if (!numpy_values) {
    Ref first = Ref::steal(PySequence_GetItem(samples, 0));
    if (!first) return nullptr;
    numpy_values = PyArray_IsScalar(first.get(), Generic);
  }
  if (numpy_values) return py::float64_scalar(dsp::round_thousandths(integral));
  Ref value = Ref::steal(PyFloat_FromDouble(integral));
  return value ? PyObject_CallMethod(value.get(), "__round__", "i", 3) : nullptr;
}

}  // namespace stages
