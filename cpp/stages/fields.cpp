#include "stages/fields.hpp"

#include <vector>

namespace stages {

namespace {
Names loaded{};

// The instance fields: the names of Names from data_m to disp (the rest name attributes of
// other objects and the class's _design_filter).
std::vector<PyObject*> field_names;

// A value found on the class that an instance's own value hides without running any code:
// no descriptor, of a class that cannot change into one.
bool inert_class_value(PyObject* found) {
  const PyTypeObject* type = Py_TYPE(found);
  return (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && !type->tp_descr_get && !type->tp_descr_set;
}

bool fields_plain(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr ||
      !((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0)) {
    return false;
  }
  for (PyObject* name : field_names) {
    PyObject* found = _PyType_LookupRef(type, name);
    const bool inert = !found || inert_class_value(found);
    Py_XDECREF(found);
    if (!inert) return false;
  }
  return true;
}

// The answer of fields_plain for the last few classes asked about, each valid while the
// class keeps the version tag it had (CPython gives a modified class a new tag, and a new
// class never reuses an old one).
struct PlainAnswer {
  PyTypeObject* type = nullptr;
  unsigned int tag = 0;
  bool plain = false;
};
PlainAnswer answers[4];
unsigned int next_answer = 0;

bool type_fields_plain(PyTypeObject* type) {
  for (const PlainAnswer& a : answers) {
    if (a.type == type && a.tag != 0 && a.tag == type->tp_version_tag) return a.plain;
  }
  if (!PyUnstable_Type_AssignVersionTag(type)) return false;
  const unsigned int tag = type->tp_version_tag;
  const bool plain = fields_plain(type);
  answers[next_answer++ % 4] = PlainAnswer{type, tag, plain};
  return plain;
}
}  // namespace

py::Ref plain_fields_dict(PyObject* self) {
#ifdef Py_GIL_DISABLED
  (void)self;
  return py::Ref();
#else
  if (!type_fields_plain(Py_TYPE(self))) return py::Ref();
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (!dict) PyErr_Clear();
  return py::Ref::steal(dict);
#endif
}

py::Ref field(PyObject* self, PyObject* name, PyObject* dict) {
  py::Ref found;
  if (!dict) {
    found = plain_fields_dict(self);
    dict = found.get();
  }
  if (dict) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, name, &value) > 0) return py::Ref::steal(value);
    PyErr_Clear();
  }
  // Missing (or read through the class): the attribute protocol gives the value or the error.
  return py::get_attr(self, name);
}

bool set_field(PyObject* self, PyObject* name, PyObject* value) {
  py::Ref owned = py::Ref::steal(value);
  if (!owned) return false;
  if (py::Ref dict = plain_fields_dict(self)) {
    return PyDict_SetItem(dict.get(), name, owned.get()) == 0;
  }
  return PyObject_SetAttr(self, name, owned.get()) == 0;
}

py::Ref sole_field(PyObject* self, PyObject* name, PyObject* dict) {
#ifdef Py_GIL_DISABLED
  (void)dict;
  return py::Ref();
#else
  py::Ref found;
  if (!dict) {
    found = plain_fields_dict(self);
    dict = found.get();
  }
  if (!dict) return py::sole_attr(self, name);
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, name, &value) <= 0) {
    PyErr_Clear();
    return py::Ref();
  }
  py::Ref held = py::Ref::steal(value);
  // One reference is the dictionary's, the other the one just taken.
  const Py_ssize_t weaklist = Py_TYPE(value)->tp_weaklistoffset;
  if (Py_REFCNT(value) != 2 || weaklist < 0 ||
      (weaklist > 0 && *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + weaklist))) {
    return py::Ref();
  }
  return held;
#endif
}

bool load_names() {
  Names& n = loaded;
  const bool interned = py::intern_all({{&n.data_m, "data_m"},
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
  if (!interned) return false;
  field_names = {
      n.data_m,      n.data_counter,  n.last_max_time, n.time_duration, n.acc_filt_m,
      n.vel_filt_m,  n.veltot_filt_a, n.time_a,        n.b_acc,         n.a_acc,
      n.b_vel,       n.a_vel,         n.b_veltot,      n.a_veltot,      n.min_time_a,
      n.min_index_a, n.seg_time_a,    n.seg_acc_m,     n.seg_vel_m,     n.acc_int,
      n.vel_int,     n.left,          n.right,         n.gest_ut,       n.model,
      n.enc,         n.pre_gest,      n.gesture,       n.rec_gesture,   n.rec_gesture_prob,
      n.confidence,  n.disp};
  return true;
}

const Names& names() { return loaded; }

bool read_field(PyObject* self, PyObject* name, int ndim, npy_intp rows, npy_intp cols,
                py::Float64View* out, bool contiguous, PyObject* dict) {
  py::Ref value = field(self, name, dict);
  return value && py::read_float64(value.get(), name, ndim, rows, cols, out, contiguous);
}

bool read_double(PyObject* self, PyObject* name, double* out, bool* quiet, PyObject* dict) {
  py::Ref value = field(self, name, dict);
  if (!value) return false;
  if (quiet && !PyFloat_CheckExact(value.get()) && !PyLong_CheckExact(value.get())) *quiet = false;
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
