#include "stages/sample_window.hpp"

#include <climits>
#include <cstring>

#include "py/args.hpp"
#include "stages/fields.hpp"

namespace stages {

using py::Ref;

namespace {

bool sample_value(PyObject* item, double* out) {
  *out = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
  if (*out == -1.0 && PyErr_Occurred()) {
    if (py::clear_if({PyExc_TypeError})) {
      PyErr_Format(PyExc_TypeError, "sample values must be real numbers, not %.200s",
                   Py_TYPE(item)->tp_name);
    }
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

// data_m as a writable float64 array of 7 columns and `rows` rows (negative: at least one).
bool window_data(PyObject* self, npy_intp rows, Ref* owner, double** data, npy_intp* count) {
  *owner = field(self, names().data_m);
  if (!*owner || !py::writable_float64(owner->get(), "data_m", rows, kWidth, data)) return false;
  *count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(owner->get()), 0);
  if (*count == 0) {
    PyErr_SetString(PyExc_IndexError, "index -1 is out of bounds for axis 0 with size 0");
    return false;
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

bool push_sample(PyObject* self, Constants k, const double sample[6], PyObject* stamp_sink) {
  const Names& n = names();
  // Checked before the counter changes, so that a push refused here changes nothing.
  Ref window;
  double* rows = nullptr;
  npy_intp count = 0;
  if (!window_data(self, k.rows, &window, &rows, &count)) return false;
  Ref counter_obj = field(self, n.data_counter);
  if (!counter_obj) return false;
  const long long current = PyLong_AsLongLong(counter_obj.get());
  if (current == -1 && PyErr_Occurred()) return false;
  if (current == LLONG_MAX) {
    PyErr_SetString(PyExc_OverflowError, "data_counter is too large to count another sample");
    return false;
  }
  // Reading and assigning plain attributes, an int over an int, and appending to a list run no
  // Python code.
  const bool list_sink = stamp_sink && PyList_CheckExact(stamp_sink);
  const bool quiet =
      (!stamp_sink || list_sink) && PyLong_CheckExact(counter_obj.get()) && plain_fields_dict(self);
  const long long counter = current + 1;
  // From here on a failure is not undone: the counter has advanced, and a stamp sink (the
  // row's `append`) that raises leaves it advanced with no row stored, in the order the
  // NumPy version takes these steps and on which callers may rely.
  if (!set_field(self, n.data_counter, PyLong_FromLongLong(counter))) return false;
  const double stamp = static_cast<double>(counter) * k.dt;
  if (stamp_sink) {
    Ref value = Ref::steal(PyFloat_FromDouble(stamp));
    if (!value) return false;
    if (list_sink) {
      if (PyList_Append(stamp_sink, value.get()) < 0) return false;
    } else if (!Ref::steal(PyObject_CallOneArg(stamp_sink, value.get()))) {
      return false;
    }
  }
  if (!quiet && !window_data(self, -1, &window, &rows, &count)) return false;
  const std::size_t width = dsp::kRowWidth;
  const auto last_row = static_cast<std::size_t>(count - 1);
  std::memmove(rows, rows + width, last_row * width * sizeof(double));
  double* last = rows + last_row * width;
  std::memcpy(last, sample, 6 * sizeof(double));
  last[6] = stamp;
  return true;
}

bool reset_buffers(PyObject* self, Constants k) {
  const Names& n = names();
  return set_field(self, n.data_m, py::zeros_float64(k.rows, kWidth)) &&
         set_field(self, n.acc_filt_m, py::zeros_float64(k.rows, 3)) &&
         set_field(self, n.vel_filt_m, py::zeros_float64(k.rows, 3)) &&
         set_field(self, n.veltot_filt_a, py::zeros_float64(k.rows)) &&
         set_field(self, n.time_a, py::zeros_float64(k.rows));
}

}  // namespace stages
