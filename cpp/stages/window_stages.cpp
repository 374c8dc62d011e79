#include "stages/window_stages.hpp"

#include <climits>
#include <cstring>

#include "dsp/displacement.hpp"
#include "dsp/iir_filter.hpp"
#include "dsp/resample.hpp"
#include "dsp/window_filter.hpp"
#include "py/args.hpp"
#include "py/fields.hpp"

namespace stages {

using py::Ref;

namespace {

constexpr npy_intp kWidth = static_cast<npy_intp>(dsp::kRowWidth);

Ref field(PyObject* self, PyObject* name) { return Ref::steal(PyObject_GetAttr(self, name)); }
Ref field(const py::Fields& f, PyObject* name) { return Ref::steal(f.get(name)); }

bool set_field(PyObject* self, PyObject* name, PyObject* value) {
  if (!value) return false;
  const int rc = PyObject_SetAttr(self, name, value);
  Py_DECREF(value);
  return rc == 0;
}

bool read_field(const py::Fields& self, PyObject* name, int ndim, npy_intp rows, npy_intp cols,
                py::Float64View* out, bool contiguous = false) {
  Ref value = field(self, name);
  if (!value) return false;
  // The common case, a float64 array of the expected shape as the stages store them, without
  // the general checks and conversions.
  PyObject* obj = value.get();
  if (PyArray_CheckExact(obj)) {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* dims = PyArray_DIMS(arr);
    const int flags = contiguous ? NPY_ARRAY_CARRAY_RO : NPY_ARRAY_ALIGNED;
    if (PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr) &&
        PyArray_CHKFLAGS(arr, flags) && PyArray_NDIM(arr) == ndim &&
        (rows < 0 || dims[0] == rows) && (ndim == 1 || cols < 0 || dims[1] == cols)) {
      const npy_intp* strides = PyArray_STRIDES(arr);
      out->data = static_cast<const double*>(PyArray_DATA(arr));
      out->rows = dims[0];
      out->row_stride = strides[0] / static_cast<npy_intp>(sizeof(double));
      out->cols = ndim == 2 ? dims[1] : 1;
      out->col_stride = ndim == 2 ? strides[1] / static_cast<npy_intp>(sizeof(double)) : 0;
      out->owner = std::move(value);
      return true;
    }
  }
  const char* what = PyUnicode_AsUTF8(name);
  return what && py::read_float64(obj, what, ndim, rows, cols, out, contiguous);
}

dsp::Strided strided(const py::Float64View& v) {
  return dsp::Strided{v.data, v.row_stride, v.col_stride};
}

bool read_iir(const py::Fields& self, PyObject* b_name, PyObject* a_name, dsp::Iir* out) {
  py::Float64View b, a;
  if (!read_field(self, b_name, 1, -1, -1, &b) || !read_field(self, a_name, 1, -1, -1, &a)) {
    return false;
  }
  switch (dsp::make_iir(strided(b), b.rows, strided(a), a.rows, out)) {
    case dsp::IirStatus::ok:
      return true;
    case dsp::IirStatus::empty:
      PyErr_Format(PyExc_ValueError, "%U and %U must not be empty", b_name, a_name);
      return false;
    case dsp::IirStatus::too_long:
      PyErr_Format(PyExc_ValueError,
                   "%U and %U: filters of more than %zu coefficients are not "
                   "supported",
                   b_name, a_name, dsp::kMaxTaps);
      return false;
    case dsp::IirStatus::zero_leading:
      PyErr_Format(PyExc_ValueError, "%U[0] must not be zero", a_name);
      return false;
  }
  return false;
}

// Rows [first, first + n) of a view, copied into a new C-ordered array.
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

// The array a field held after the last cycle, if nothing but the instance refers to it (so
// no holder of an earlier result can see it change) and it has the given shape; else a new
// one. `fresh` tells whether the field must be assigned.
PyObject* output_array(const py::Fields& self, PyObject* name, npy_intp rows, npy_intp cols,
                       bool* fresh) {
  Ref current = field(self, name);
  if (!current) PyErr_Clear();
  PyObject* obj = current.get();
  if (obj && Py_REFCNT(obj) == 2 && PyArray_CheckExact(obj)) {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    const int ndim = cols < 0 ? 1 : 2;
    const bool reusable = PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr) &&
                          PyArray_CHKFLAGS(arr, NPY_ARRAY_CARRAY | NPY_ARRAY_OWNDATA) &&
                          PyArray_BASE(arr) == nullptr && PyArray_NDIM(arr) == ndim &&
                          PyArray_DIM(arr, 0) == rows && (ndim == 1 || PyArray_DIM(arr, 1) == cols);
    if (reusable) {
      *fresh = false;
      return current.release();
    }
  }
  *fresh = true;
  return py::new_float64(rows, cols);
}

// The time column of data_m as a view, as slicing data_m[:, 6] gives it.
PyObject* time_column(PyObject* data_m, const double* data, npy_intp rows) {
  PyArrayObject* base = reinterpret_cast<PyArrayObject*>(data_m);
  npy_intp dims[1] = {rows};
  npy_intp strides[1] = {kWidth * static_cast<npy_intp>(sizeof(double))};
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
  PyObject* view =
      PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, const_cast<double*>(data) + 6,
                           PyArray_FLAGS(base) & NPY_ARRAY_WRITEABLE, nullptr);
  if (!view) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), Py_NewRef(data_m)) < 0) {
    Py_DECREF(view);
    return nullptr;
  }
  return view;
}

PyObject* pair_list(PyObject* first, PyObject* second) {
  PyObject* list = PyList_New(2);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, Py_NewRef(first));
  PyList_SET_ITEM(list, 1, Py_NewRef(second));
  return list;
}

// time_a: a view of the time column of the data_m just read; a view made in an earlier cycle
// of the same matrix already shows it.
bool update_time_view(const py::Fields& self, const py::Float64View& data) {
  PyObject* name = names().time_a;
  Ref current = field(self, name);
  if (!current) PyErr_Clear();
  if (current && PyArray_CheckExact(current.get())) {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(current.get());
    if (PyArray_BASE(arr) == data.owner.get() && PyArray_DATA(arr) == data.data + 6 &&
        PyArray_NDIM(arr) == 1 && PyArray_DIM(arr, 0) == data.rows &&
        PyArray_STRIDE(arr, 0) == kWidth * static_cast<npy_intp>(sizeof(double)) &&
        PyArray_TYPE(arr) == NPY_DOUBLE) {
      return true;
    }
  }
  return self.put(name, time_column(data.owner.get(), data.data, data.rows));
}

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

const Names& names() {
  static const Names n{
      py::intern("data_m"),        py::intern("data_counter"), py::intern("last_max_time"),
      py::intern("time_duration"), py::intern("acc_filt_m"),   py::intern("vel_filt_m"),
      py::intern("veltot_filt_a"), py::intern("time_a"),       py::intern("b_acc"),
      py::intern("a_acc"),         py::intern("b_vel"),        py::intern("a_vel"),
      py::intern("b_veltot"),      py::intern("a_veltot"),     py::intern("min_time_a"),
      py::intern("min_index_a"),   py::intern("seg_time_a"),   py::intern("seg_acc_m"),
      py::intern("seg_vel_m"),     py::intern("acc_int"),      py::intern("vel_int"),
      py::intern("left"),          py::intern("right")};
  return n;
}

const Constants* ClassConstants::get() {
  if (!version_.current(cls_)) {
    if (!load()) return nullptr;
    version_.remember(cls_);
  }
  return &values_;
}

bool ClassConstants::load() {
  long long rows, cols, left_win, right_win, left_stop, delay;
  double dt, max_th, max_time_th, min_th;
  if (!py::class_long(cls_, "DATA_DIM", &rows) || !py::class_long(cls_, "DATA_MAT_COL", &cols) ||
      !py::class_double(cls_, "NEW_DATA_INT_SEC", &dt) ||
      !py::class_double(cls_, "MAX_TH", &max_th) ||
      !py::class_double(cls_, "MAX_TIME_TH", &max_time_th) ||
      !py::class_long(cls_, "LEFT_MAX_WIN", &left_win) ||
      !py::class_long(cls_, "RIGHT_MAX_WIN", &right_win) ||
      !py::class_double(cls_, "MIN_TH", &min_th) ||
      !py::class_long(cls_, "LFT_MIN_WIN", &left_stop) ||
      !py::class_long(cls_, "DISP_DELAY", &delay)) {
    return false;
  }
  const char* name = reinterpret_cast<PyTypeObject*>(cls_)->tp_name;
  const char* problem = nullptr;
  if (cols != kWidth) {
    problem = "DATA_MAT_COL must be 7";
  } else if (rows < 2 || rows > 1000000) {
    problem = "DATA_DIM must lie between 2 and 1000000";
  } else if (!(0 <= right_win && right_win < left_win && left_win <= rows)) {
    problem = "the peak window needs 0 <= RIGHT_MAX_WIN < LEFT_MAX_WIN <= DATA_DIM";
  } else if (left_stop < 0 || left_stop >= rows) {
    problem = "LFT_MIN_WIN must lie in [0, DATA_DIM)";
  } else if (!(min_th > 0.0)) {
    problem = "MIN_TH must be positive";
  } else if (delay < -(1LL << 40) || delay > (1LL << 40)) {
    problem = "DISP_DELAY is out of range";
  }
  if (problem) {
    PyErr_Format(PyExc_ValueError, "%s: %s", name, problem);
    return false;
  }
  values_.rows = static_cast<npy_intp>(rows);
  values_.dt = dt;
  values_.segment = dsp::SegmentTuning{static_cast<std::size_t>(rows - left_win),
                                       static_cast<std::size_t>(rows - right_win),
                                       max_th,
                                       max_time_th,
                                       min_th,
                                       static_cast<std::size_t>(left_stop)};
  values_.disp_delay = delay;
  return true;
}

PyObject* design_filter(PyObject* order, PyObject* cutoff, PyObject* f_nyq) {
  Ref n = Ref::steal(py::integer_argument(order, "order"));
  if (!n) return nullptr;
  const double c = PyFloat_AsDouble(cutoff);
  if (c == -1.0 && PyErr_Occurred()) return nullptr;
  const double f = PyFloat_AsDouble(f_nyq);
  if (f == -1.0 && PyErr_Occurred()) return nullptr;
  if (f == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    return nullptr;
  }
  static PyObject* butter = nullptr;  // scipy.signal.butter, imported on first use
  if (!butter) {
    Ref signal = Ref::steal(PyImport_ImportModule("scipy.signal"));
    if (!signal) return nullptr;
    butter = PyObject_GetAttrString(signal.get(), "butter");
    if (!butter) return nullptr;
  }
  Ref wn = Ref::steal(PyFloat_FromDouble(c / f));
  if (!wn) return nullptr;
  return PyObject_CallFunction(butter, "OOs", n.get(), wn.get(), "lowpass");
}

PyObject* design_filter_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (!py::bind_arguments("_design_filter", args, nargs, kwnames, {"order", "cutoff", "f_nyq"}, 3,
                          bound)) {
    return nullptr;
  }
  return design_filter(bound[0], bound[1], bound[2]);
}

bool design_filters(PyObject* self, PyObject* cls) {
  double f_samp;
  if (!py::class_double(cls, "F_SAMP", &f_samp)) return false;
  Ref f_nyq = Ref::steal(PyFloat_FromDouble(f_samp / 2.0));
  if (!f_nyq) return false;
  const Names& n = names();
  const struct {
    const char* design;
    PyObject* b;
    PyObject* a;
  } designs[] = {{"FILT_ACC", n.b_acc, n.a_acc},
                 {"FILT_VEL", n.b_vel, n.a_vel},
                 {"FILT_VELTOT", n.b_veltot, n.a_veltot}};
  for (const auto& d : designs) {
    Ref design = Ref::steal(PyObject_GetAttrString(self, d.design));
    if (!design) return false;
    Ref order = Ref::steal(PySequence_GetItem(design.get(), 0));
    Ref cutoff = order ? Ref::steal(PySequence_GetItem(design.get(), 1)) : Ref();
    if (!cutoff) return false;
    Ref pair = Ref::steal(design_filter(order.get(), cutoff.get(), f_nyq.get()));
    if (!pair) return false;
    Ref items = Ref::steal(PySequence_Fast(pair.get(), "cannot unpack the filter design"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count > 2) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
      return false;
    }
    if (count < 2) {
      PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                   count == 1 ? "" : "s");
      return false;
    }
    PyObject** values = PySequence_Fast_ITEMS(items.get());
    if (PyObject_SetAttr(self, d.b, values[0]) < 0 || PyObject_SetAttr(self, d.a, values[1]) < 0) {
      return false;
    }
  }
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

bool filter_stage(PyObject* obj, Constants k) {
  const py::Fields self(obj);
  return self.ok() && filter_stage(self, k);
}

bool filter_stage(const py::Fields& self, Constants k) {
  const Names& n = names();
  py::Float64View data;
  dsp::WindowFilters f;
  if (!read_field(self, n.data_m, 2, k.rows, kWidth, &data, true) ||
      !read_iir(self, n.b_acc, n.a_acc, &f.acc) || !read_iir(self, n.b_vel, n.a_vel, &f.vel) ||
      !read_iir(self, n.b_veltot, n.a_veltot, &f.veltot)) {
    return false;
  }
  bool new_acc, new_vel, new_veltot;
  Ref acc = Ref::steal(output_array(self, n.acc_filt_m, k.rows, 3, &new_acc));
  Ref vel = Ref::steal(output_array(self, n.vel_filt_m, k.rows, 3, &new_vel));
  Ref veltot = Ref::steal(output_array(self, n.veltot_filt_a, k.rows, -1, &new_veltot));
  if (!acc || !vel || !veltot) return false;
  dsp::filter_window(f, data.data, static_cast<std::size_t>(k.rows), py::float64_data(acc.get()),
                     py::float64_data(vel.get()), py::float64_data(veltot.get()));
  return (!new_acc || self.set(n.acc_filt_m, acc.get())) &&
         (!new_vel || self.set(n.vel_filt_m, vel.get())) &&
         (!new_veltot || self.set(n.veltot_filt_a, veltot.get())) && update_time_view(self, data);
}

int segmentation_stage(PyObject* self, Constants k, SegmentFields fields) {
  const py::Fields instance(self);
  return instance.ok() ? segmentation_stage(self, instance, k, fields) : -1;
}

int segmentation_stage(PyObject* self, const py::Fields& instance, Constants k,
                       SegmentFields fields) {
  const Names& n = names();
  py::Float64View veltot, time, acc, vel;
  if (!read_field(instance, n.veltot_filt_a, 1, k.rows, -1, &veltot) ||
      !read_field(instance, n.time_a, 1, k.rows, -1, &time)) {
    return -1;
  }
  Ref last = field(instance, n.last_max_time);
  if (!last) return -1;
  const double last_time = PyFloat_AsDouble(last.get());
  if (last_time == -1.0 && PyErr_Occurred()) return -1;

  dsp::FilteredWindow w{static_cast<std::size_t>(k.rows), strided(veltot), strided(time), {}, {}};
  dsp::Segment s;
  if (!dsp::find_segment(w, last_time, k.segment, &s)) return 0;
  if (!read_field(instance, n.acc_filt_m, 2, k.rows, 3, &acc) ||
      !read_field(instance, n.vel_filt_m, 2, k.rows, 3, &vel)) {
    return -1;
  }
  w.acc = strided(acc);
  w.vel = strided(vel);
  if (!dsp::window_finite(w)) return 0;

  const npy_intp first = static_cast<npy_intp>(s.left);
  const npy_intp count = static_cast<npy_intp>(s.right - s.left + 1);
  Ref left_time = Ref::steal(py::float64_scalar(s.left_time));
  Ref right_time = Ref::steal(py::float64_scalar(s.right_time));
  Ref left = Ref::steal(PyLong_FromSize_t(s.left));
  Ref right = Ref::steal(PyLong_FromSize_t(s.right));
  if (!left_time || !right_time || !left || !right) return -1;
  const bool stored =
      set_field(self, n.last_max_time, py::float64_scalar(s.peak_time)) &&
      set_field(self, n.min_time_a, pair_list(left_time.get(), right_time.get())) &&
      set_field(self, n.min_index_a, pair_list(left.get(), right.get())) &&
      (fields == SegmentFields::shaper ||
       set_field(self, n.time_duration,
                 py::float64_scalar(dsp::round_thousandths(s.right_time - s.left_time)))) &&
      set_field(self, n.seg_time_a, copy_rows(time, first, count, -1)) &&
      set_field(self, n.seg_acc_m, copy_rows(acc, first, count, 3)) &&
      set_field(self, n.seg_vel_m, copy_rows(vel, first, count, 3)) &&
      (fields == SegmentFields::engine || (PyObject_SetAttr(self, n.left, left.get()) == 0 &&
                                           PyObject_SetAttr(self, n.right, right.get()) == 0));
  return stored ? 1 : -1;
}

PyObject* interpolation_stage(PyObject* self, bool leading_one) {
  const Names& n = names();
  Ref bounds = field(self, n.min_time_a);
  if (!bounds) return nullptr;
  Ref t0_obj = Ref::steal(PySequence_GetItem(bounds.get(), 0));
  Ref t1_obj = t0_obj ? Ref::steal(PySequence_GetItem(bounds.get(), 1)) : Ref();
  if (!t1_obj) return nullptr;
  const double t0 = PyFloat_AsDouble(t0_obj.get());
  if (t0 == -1.0 && PyErr_Occurred()) return nullptr;
  const double t1 = PyFloat_AsDouble(t1_obj.get());
  if (t1 == -1.0 && PyErr_Occurred()) return nullptr;

  const py::Fields instance(self);
  py::Float64View time, acc, vel;
  if (!instance.ok() || !read_field(instance, n.seg_time_a, 1, -1, -1, &time) ||
      !read_field(instance, n.seg_acc_m, 2, time.rows, 3, &acc) ||
      !read_field(instance, n.seg_vel_m, 2, time.rows, 3, &vel)) {
    return nullptr;
  }
  const npy_intp points = static_cast<npy_intp>(dsp::kResamplePoints);
  Ref acc_int = Ref::steal(py::new_float64(points, 3));
  Ref vel_int = Ref::steal(py::new_float64(points, 3));
  const npy_intp lead = leading_one ? 1 : 0;
  Ref features = Ref::steal(py::new_float64(lead + static_cast<npy_intp>(dsp::kFeatureLength)));
  if (!acc_int || !vel_int || !features) return nullptr;
  const dsp::ResampleResult r = dsp::resample_segment(
      strided(time), strided(acc), strided(vel), static_cast<std::size_t>(time.rows), t0, t1,
      py::float64_data(acc_int.get()), py::float64_data(vel_int.get()));
  switch (r.status) {
    case dsp::ResampleStatus::ok:
      break;
    case dsp::ResampleStatus::too_few_rows:
      PyErr_SetString(PyExc_ValueError, "x and y arrays must have at least 2 entries");
      return nullptr;
    case dsp::ResampleStatus::unsorted_time:
      PyErr_SetString(PyExc_ValueError, "seg_time_a must not decrease");
      return nullptr;
    case dsp::ResampleStatus::below_range:
    case dsp::ResampleStatus::above_range: {
      Ref value = Ref::steal(PyFloat_FromDouble(r.value));
      Ref bound = Ref::steal(PyFloat_FromDouble(r.bound));
      if (!value || !bound) return nullptr;
      const bool below = r.status == dsp::ResampleStatus::below_range;
      PyErr_Format(
          PyExc_ValueError, "A value (%R) in x_new is %s the interpolation range's %s value (%R).",
          value.get(), below ? "below" : "above", below ? "minimum" : "maximum", bound.get());
      return nullptr;
    }
  }
  double* out = py::float64_data(features.get());
  if (leading_one) out[0] = 1.0;
  dsp::feature_vector(py::float64_data(acc_int.get()), py::float64_data(vel_int.get()), out + lead);
  if (!set_field(self, n.acc_int, acc_int.release()) ||
      !set_field(self, n.vel_int, vel_int.release())) {
    return nullptr;
  }
  return features.release();
}

}  // namespace stages
