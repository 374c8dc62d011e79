// The instance fields that the stages read and write, by interned name.
//
// Every read goes through the attribute protocol and every write is an attribute assignment,
// as `self.name` and `self.name = value` in Python: a subclass's properties, __getattr__ and
// __setattr__ see each field the stages touch, and no output bypasses them.
#pragma once

#include "dsp/strided.hpp"
#include "dsp/window_filter.hpp"
#include "py/arrays.hpp"
#include "py/attributes.hpp"

namespace stages {

constexpr npy_intp kWidth = static_cast<npy_intp>(dsp::kRowWidth);

struct Names {
  PyObject *data_m, *data_counter, *last_max_time, *time_duration;
  PyObject *acc_filt_m, *vel_filt_m, *veltot_filt_a, *time_a;
  PyObject *b_acc, *a_acc, *b_vel, *a_vel, *b_veltot, *a_veltot;
  PyObject *min_time_a, *min_index_a, *seg_time_a, *seg_acc_m, *seg_vel_m;
  PyObject *acc_int, *vel_int, *left, *right, *gest_ut;
  PyObject *model, *enc, *pre_gest, *gesture, *rec_gesture, *rec_gesture_prob, *confidence, *disp;
  PyObject *classes_, *size, *predict_proba, *inverse_transform, *append, *design_filter;
};

// Interns the names; called at module initialisation. False with an exception set.
bool load_names();
const Names& names();

// The instance dictionary of `self` when reading or assigning any field (the names of Names
// from data_m to disp) through it is exactly what the attribute protocol does: generic
// attribute access, and no field name on the class but as a plain value (no descriptor), so
// that no Python code of a property, __getattr__ or __setattr__ would run. The answer for a
// class is cached until the class is modified. An empty Ref otherwise, with no exception set.
py::Ref plain_fields_dict(PyObject* self);

// self.name for a field name of Names (data_m to disp). `dict`, when given, is what
// plain_fields_dict(self) gave, still current because no Python code has run since.
py::Ref field(PyObject* self, PyObject* name, PyObject* dict = nullptr);

// self.name = value for a field name, taking over the new reference `value` (may be nullptr).
bool set_field(PyObject* self, PyObject* name, PyObject* value);

// The value of field `name` when changing it in place cannot be seen through any other
// reference, as py::sole_attr.
py::Ref sole_field(PyObject* self, PyObject* name, PyObject* dict = nullptr);

// A float64 field of the given dimensions (negative: any length), read in place when it is a
// well-formed array, converted otherwise; TypeError or ValueError naming the field. `dict` as
// for field().
bool read_field(PyObject* self, PyObject* name, int ndim, npy_intp rows, npy_intp cols,
                py::Float64View* out, bool contiguous = false, PyObject* dict = nullptr);

// What one cycle (a run() call) knows of the instance's fields. While `quiet`, the fields are
// plain (plain_fields_dict) and no Python code can have run since the cycle began, so a field
// holds the value that the cycle last read or assigned and reading it again is skipped.
struct CycleState {
  bool quiet = false;
  py::Ref dict;    // plain_fields_dict(self), while quiet
  py::Ref veltot;  // veltot_filt_a and time_a as the filter stage left them, while quiet
  py::Ref time;
};

// A float field; the error of float() when it is none. `quiet`, when given, is cleared unless
// the value is an int or a float, whose conversion runs no Python code. `dict` as for field().
bool read_double(PyObject* self, PyObject* name, double* out, bool* quiet = nullptr,
                 PyObject* dict = nullptr);

dsp::Strided strided(const py::Float64View& v);

// Rows [first, first + n) of a view, copied into a new C-ordered array.
PyObject* copy_rows(const py::Float64View& v, npy_intp first, npy_intp n, npy_intp cols);

// A new two-element list.
PyObject* pair_list(PyObject* first, PyObject* second);

}  // namespace stages
