#include "stages/tuning.hpp"

#include "py/class_builder.hpp"
#include "stages/fields.hpp"

namespace stages {

bool put_tuning_constants(PyObject* ns, FilterDesignStyle style) {
  const bool tuples = style == FilterDesignStyle::tuples;
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
  if (!version_.current(cls())) {
    if (!load()) return nullptr;
    version_.remember(cls());
  }
  return &values_;
}

bool ClassConstants::load() {
  PyObject* cls = cls_;
  long long rows, cols, left_win, right_win, left_stop, delay;
  double dt, max_th, max_time_th, min_th;
  if (!py::class_long(cls, "DATA_DIM", &rows) || !py::class_long(cls, "DATA_MAT_COL", &cols) ||
      !py::class_double(cls, "NEW_DATA_INT_SEC", &dt) ||
      !py::class_double(cls, "MAX_TH", &max_th) ||
      !py::class_double(cls, "MAX_TIME_TH", &max_time_th) ||
      !py::class_long(cls, "LEFT_MAX_WIN", &left_win) ||
      !py::class_long(cls, "RIGHT_MAX_WIN", &right_win) ||
      !py::class_double(cls, "MIN_TH", &min_th) ||
      !py::class_long(cls, "LFT_MIN_WIN", &left_stop) ||
      !py::class_long(cls, "DISP_DELAY", &delay)) {
    return false;
  }
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
    PyErr_Format(PyExc_ValueError, "%s: %s", reinterpret_cast<PyTypeObject*>(cls)->tp_name,
                 problem);
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

}  // namespace stages
