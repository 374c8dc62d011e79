#include "stages/filter_design.hpp"

#include "py/args.hpp"
#include "py/class_constants.hpp"
#include "stages/fields.hpp"

namespace stages {

using py::Ref;

namespace {

PyObject* design_filter(PyObject* order, PyObject* cutoff, PyObject* f_nyq) {
  Ref n = Ref::steal(py::integer_argument(order, "order"));
  if (!n) return nullptr;
  const double c = PyFloat_AsDouble(cutoff);
  if (c == -1.0 && PyErr_Occurred()) return nullptr;
  const double f = PyFloat_AsDouble(f_nyq);
  if (f == -1.0 && PyErr_Occurred()) return nullptr;
  if (f == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    return nullptr;
  }
  static PyObject* butter = nullptr;  // scipy.signal.butter, imported on first use and kept
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

bool read_iir(PyObject* self, PyObject* b_name, PyObject* a_name, dsp::Iir* out, bool* quiet,
              PyObject* dict) {
  py::Float64View b, a;
  if (!read_field(self, b_name, 1, -1, -1, &b, false, quiet && *quiet ? dict : nullptr)) {
    return false;
  }
  if (quiet && b.converted) *quiet = false;
  if (!read_field(self, a_name, 1, -1, -1, &a, false, quiet && *quiet ? dict : nullptr)) {
    return false;
  }
  if (quiet && a.converted) *quiet = false;
  switch (dsp::make_iir(strided(b), static_cast<std::size_t>(b.rows), strided(a),
                        static_cast<std::size_t>(a.rows), out)) {
    case dsp::IirStatus::ok:
      return true;
    case dsp::IirStatus::empty:
      PyErr_Format(PyExc_ValueError, "%U and %U must not be empty", b_name, a_name);
      return false;
    case dsp::IirStatus::too_long:
      PyErr_Format(PyExc_ValueError,
                   "%U and %U: filters of more than %zu coefficients are not supported", b_name,
                   a_name, dsp::kMaxTaps);
      return false;
    case dsp::IirStatus::zero_leading:
      PyErr_Format(PyExc_ValueError, "%U[0] must not be zero", a_name);
      return false;
  }
  return false;
}

}  // namespace

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
    Ref order = design ? Ref::steal(PySequence_GetItem(design.get(), 0)) : Ref();
    Ref cutoff = order ? Ref::steal(PySequence_GetItem(design.get(), 1)) : Ref();
    Ref make = cutoff ? py::get_attr(self, n.design_filter) : Ref();
    if (!make) return false;
    Ref pair = Ref::steal(
        PyObject_CallFunctionObjArgs(make.get(), order.get(), cutoff.get(), f_nyq.get(), nullptr));
    // Both values are held before the first assignment, which may run Python code (a
    // property, __setattr__) that changes the container they came in.
    Ref coefficients[2];
    if (!pair || !py::unpack(pair.get(), 2, coefficients) ||
        !set_field(self, d.b, coefficients[0].release()) ||
        !set_field(self, d.a, coefficients[1].release())) {
      return false;
    }
  }
  return true;
}

bool read_filters(PyObject* self, dsp::WindowFilters* out, bool* quiet, PyObject* dict) {
  const Names& n = names();
  return read_iir(self, n.b_acc, n.a_acc, &out->acc, quiet, dict) &&
         read_iir(self, n.b_vel, n.a_vel, &out->vel, quiet, dict) &&
         read_iir(self, n.b_veltot, n.a_veltot, &out->veltot, quiet, dict);
}

}  // namespace stages
