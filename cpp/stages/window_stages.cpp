// Field names, tuning constants, filter designs and buffer resets of the window stages.

#include "stages/window_stages.hpp"

#include "py/args.hpp"
#include "py/class_builder.hpp"
#include "stages/field_access.hpp"

namespace stages {

using py::Ref;

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

bool put_tuning_constants(PyObject* ns, SpecificationStyle style) {
  const bool tuples = style == SpecificationStyle::tuples;
  return py::put_item(ns, "DATA_MAT_COL", PyLong_FromLong(7)) &&
         py::put_item(ns, "F_SAMP", PyLong_FromLong(50)) &&
         py::put_item(ns, "NEW_DATA_INT_SEC", PyFloat_FromDouble(tuples ? 0.02 : 1.0 / 50)) &&
         py::put_item(ns, "DATA_DIM", PyLong_FromLong(100)) &&
         py::put_item(ns, "FILT_ACC", Py_BuildValue(tuples ? "(ii)" : "[ii]", 5, 4)) &&
         py::put_item(ns, "FILT_VEL", Py_BuildValue(tuples ? "(ii)" : "[ii]", 5, 5)) &&
         py::put_item(ns, "FILT_VELTOT", Py_BuildValue(tuples ? "(id)" : "[id]", 1, 1.3)) &&
         py::put_item(ns, "MAX_TH", PyFloat_FromDouble(0.4)) &&
         py::put_item(ns, "MAX_TIME_TH", PyLong_FromLong(1)) &&
         py::put_item(ns, "LEFT_MAX_WIN", PyLong_FromLong(50)) &&
         py::put_item(ns, "RIGHT_MAX_WIN", PyLong_FromLong(5)) &&
         py::put_item(ns, "MIN_TH", PyLong_FromLong(3)) &&
         py::put_item(ns, "LFT_MIN_WIN", PyLong_FromLong(0)) &&
         py::put_item(ns, "DISP_DELAY", PyLong_FromLong(8));
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

}  // namespace stages
