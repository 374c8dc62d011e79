// Sample intake: a sample checked before anything changes, then slid into the window.

#include <climits>
#include <cstring>

#include "dsp/window_filter.hpp"
#include "py/fields.hpp"
#include "stages/field_access.hpp"
#include "stages/window_stages.hpp"

namespace stages {

using py::Ref;

namespace {

bool sample_value(PyObject* item, double* out) {
  *out = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
  if (*out == -1.0 && PyErr_Occurred()) {
    PyErr_Format(PyExc_TypeError, "sample values must be real numbers, not %.200s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  return true;
}

void raise_sample_size(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError,
               "a sample holds 6 values (acceleration x, y, z, velocity x, y, z), not %zd", got);
}

bool plain_numbers(PyObject* seq) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyFloat_CheckExact(items[i]) && !PyLong_CheckExact(items[i])) return false;
  }
  return true;
}

}  // namespace

bool read_sample(PyObject* sample, bool any_shape, double out[6]) {
  if (any_shape && PyArray_CheckExact(sample)) {
    // A row of a float64 recording: its six values as they are.
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(sample);
    if (PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr) &&
        PyArray_IS_C_CONTIGUOUS(arr) && PyArray_SIZE(arr) == 6) {
      std::memcpy(out, PyArray_DATA(arr), 6 * sizeof(double));
      return true;
    }
  }
  const bool plain_sequence = PyList_CheckExact(sample) || PyTuple_CheckExact(sample);
  if (plain_sequence || !any_shape) {
    Ref seq = Ref::steal(PySequence_Fast(sample, "a sample must be a sequence of 6 numbers"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (!any_shape || (n == 6 && plain_numbers(seq.get()))) {
      if (n != 6) {
        raise_sample_size(n);
        return false;
      }
      // An item's __float__ may change the list that holds it: read the items from a tuple
      // that keeps them alive.
      if (PyList_CheckExact(seq.get()) && !plain_numbers(seq.get())) {
        seq = Ref::steal(PyList_AsTuple(seq.get()));
        if (!seq) return false;
      }
      PyObject** items = PySequence_Fast_ITEMS(seq.get());
      for (int i = 0; i < 6; ++i) {
        if (!sample_value(items[i], &out[i])) return false;
      }
      return true;
    }
  }
  // Anything NumPy turns into numbers, flattened.
  Ref values = Ref::steal(PyArray_FROMANY(sample, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
  if (!values) return false;
  const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(values.get()));
  if (n != 6) {
    raise_sample_size(n);
    return false;
  }
  std::memcpy(out, py::float64_data(values.get()), 6 * sizeof(double));
  return true;
}

bool prepare_push(PyObject* self, Constants k, Push* push) {
  const Names& n = names();
  push->fields = py::Fields(self);
  const py::Fields& fields = push->fields;
  if (!fields.ok()) return false;
  push->data_m = field(fields, n.data_m);
  if (!push->data_m ||
      !py::writable_float64(push->data_m.get(), "data_m", k.rows, kWidth, &push->rows)) {
    return false;
  }
  push->row_count = k.rows;
  Ref counter = field(fields, n.data_counter);
  if (!counter) return false;
  const long long current = PyLong_AsLongLong(counter.get());
  if (current == -1 && PyErr_Occurred()) return false;
  if (current == LLONG_MAX) {
    PyErr_SetString(PyExc_OverflowError, "data_counter is too large to count another sample");
    return false;
  }
  push->counter = current + 1;
  push->stamp = static_cast<double>(push->counter) * k.dt;
  return true;
}

bool commit_push(const Push& push, const double sample[6]) {
  if (!push.fields.put(names().data_counter, PyLong_FromLongLong(push.counter))) return false;
  const std::size_t width = dsp::kRowWidth;
  const std::size_t rows = static_cast<std::size_t>(push.row_count);
  std::memmove(push.rows, push.rows + width, (rows - 1) * width * sizeof(double));
  double* last = push.rows + (rows - 1) * width;
  std::memcpy(last, sample, 6 * sizeof(double));
  last[6] = push.stamp;
  return true;
}

}  // namespace stages
