#include "stages/fields.hpp"

namespace stages {

namespace {
Names loaded{};
}  // namespace

bool load_names() {
  Names& n = loaded;
  return py::intern_all({{&n.data_m, "data_m"},
                         {&n.data_counter, "data_counter"},
                         {&n.last_max_time, "last_max_time"},
                         {&n.time_duration, "time_duration"},
                         {&n.acc_filt_m, "acc_filt_m"},
                         {&n.vel_filt_m, "vel_filt_m"},
                         {&n.veltot_filt_a, "veltot_filt_a"},
                         {&n.time_a, "time_a"},
                         {&n.b_acc, "b_acc"},
                         {&n.a_acc, "a_acc"},
                         {&n.b_vel, "b_vel"},
                         {&n.a_vel, "a_vel"},
                         {&n.b_veltot, "b_veltot"},
                         {&n.a_veltot, "a_veltot"},
                         {&n.min_time_a, "min_time_a"},
                         {&n.min_index_a, "min_index_a"},
                         {&n.seg_time_a, "seg_time_a"},
                         {&n.seg_acc_m, "seg_acc_m"},
                         {&n.seg_vel_m, "seg_vel_m"},
                         {&n.acc_int, "acc_int"},
                         {&n.vel_int, "vel_int"},
                         {&n.left, "left"},
                         {&n.right, "right"},
                         {&n.gest_ut, "gest_ut"},
                         {&n.model, "model"},
                         {&n.enc, "enc"},
                         {&n.pre_gest, "pre_gest"},
                         {&n.gesture, "gesture"},
                         {&n.rec_gesture, "rec_gesture"},
                         {&n.rec_gesture_prob, "rec_gesture_prob"},
                         {&n.confidence, "confidence"},
                         {&n.disp, "disp"},
                         {&n.classes_, "classes_"},
                         {&n.size, "size"},
                         {&n.predict_proba, "predict_proba"},
                         {&n.inverse_transform, "inverse_transform"},
                         {&n.append, "append"},
                         {&n.design_filter, "_design_filter"}});
}

const Names& names() { return loaded; }

bool read_field(PyObject* self, PyObject* name, int ndim, npy_intp rows, npy_intp cols,
                py::Float64View* out, bool contiguous) {
  py::Ref value = field(self, name);
  return value && py::read_float64(value.get(), name, ndim, rows, cols, out, contiguous);
}

bool read_double(PyObject* self, PyObject* name, double* out) {
  py::Ref value = field(self, name);
  if (!value) return false;
  *out = PyFloat_AsDouble(value.get());
  return !(*out == -1.0 && PyErr_Occurred());
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
