#include "stages/interpolation.hpp"

#include <cstdlib>
#include <cstring>

#include "stages/fields.hpp"

namespace stages {

using py::Ref;

namespace {

constexpr const char* kFormulaNames[] = {"weighted", "slope"};

PyObject* raise_resample_error(const dsp::ResampleResult& r) {
  switch (r.status) {
    case dsp::ResampleStatus::ok:
      break;
    case dsp::ResampleStatus::too_few_rows:
      PyErr_SetString(PyExc_ValueError, "x and y arrays must have at least 2 entries");
      break;
    case dsp::ResampleStatus::unsorted_time:
      PyErr_SetString(PyExc_ValueError, "seg_time_a must not decrease");
      break;
    case dsp::ResampleStatus::below_range:
    case dsp::ResampleStatus::above_range: {
      Ref value = Ref::steal(PyFloat_FromDouble(r.value));
      Ref bound = Ref::steal(PyFloat_FromDouble(r.bound));
      if (!value || !bound) return nullptr;
      const bool below = r.status == dsp::ResampleStatus::below_range;
      PyErr_Format(
          PyExc_ValueError, "A value (%R) in x_new is %s the interpolation range's %s value (%R).",
          value.get(), below ? "below" : "above", below ? "minimum" : "maximum", bound.get());
      break;
    }
  }
  return nullptr;
}

// The formula of the installed SciPy's linear interp1d; false with an exception set if SciPy
// cannot be imported or follows neither.
bool installed_linear_formula(dsp::LinearFormula* out) {
  // Two stamps and values on which the formulas give neighbouring doubles.
  const double x[2] = {1.9000000000000001, 1.9600000000000002};
  const double y[2] = {0.8216181435011584, 0.33043707618338714};
  const double t = 1.9569189668282347;
  // Called as the stages' NumPy code calls it, on n x 1 values along axis 0: SciPy takes
  // another path (with the other formula) for one-dimensional values.
  Ref module = Ref::steal(PyImport_ImportModule("scipy.interpolate"));
  Ref interp1d = module ? Ref::steal(PyObject_GetAttrString(module.get(), "interp1d")) : Ref();
  Ref xs = interp1d ? Ref::steal(Py_BuildValue("[dd]", x[0], x[1])) : Ref();
  Ref ys = xs ? Ref::steal(Py_BuildValue("[[d][d]]", y[0], y[1])) : Ref();
  Ref positional = ys ? Ref::steal(PyTuple_Pack(2, xs.get(), ys.get())) : Ref();
  Ref keywords = positional ? Ref::steal(Py_BuildValue("{si}", "axis", 0)) : Ref();
  Ref line = keywords ? Ref::steal(PyObject_Call(interp1d.get(), positional.get(), keywords.get()))
                      : Ref();
  Ref values = line ? Ref::steal(PyObject_CallFunction(line.get(), "[d]", t)) : Ref();
  Ref at = values ? Ref::steal(PyObject_CallMethod(values.get(), "item", nullptr)) : Ref();
  if (!at) return false;
  const double value = PyFloat_AsDouble(at.get());
  if (value == -1.0 && PyErr_Occurred()) return false;
  for (dsp::LinearFormula formula : {dsp::LinearFormula::weighted, dsp::LinearFormula::slope}) {
    if (value == dsp::interpolate_linear(formula, x[0], x[1], y[0], y[1], t)) {
      *out = formula;
      return true;
    }
  }
  PyErr_SetString(PyExc_ImportError,
                  "scipy.interpolate.interp1d computes linear interpolation in a way this build "
                  "does not know; results would differ from SciPy's");
  return false;
}

}  // namespace

PyObject* interpolation_stage(PyObject* self, bool leading_one, dsp::LinearFormula formula) {
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

  py::Float64View time, acc, vel;
  if (!read_field(self, n.seg_time_a, 1, -1, -1, &time) ||
      !read_field(self, n.seg_acc_m, 2, time.rows, 3, &acc) ||
      !read_field(self, n.seg_vel_m, 2, time.rows, 3, &vel)) {
    return nullptr;
  }
  const auto points = static_cast<npy_intp>(dsp::kResamplePoints);
  Ref acc_int = Ref::steal(py::new_float64(points, 3));
  Ref vel_int = Ref::steal(py::new_float64(points, 3));
  const npy_intp lead = leading_one ? 1 : 0;
  Ref features = Ref::steal(py::new_float64(lead + static_cast<npy_intp>(dsp::kFeatureLength)));
  if (!acc_int || !vel_int || !features) return nullptr;
  const dsp::ResampleResult r = dsp::resample_segment(
      formula, strided(time), strided(acc), strided(vel), static_cast<std::size_t>(time.rows), t0,
      t1, py::float64_data(acc_int.get()), py::float64_data(vel_int.get()));
  if (r.status != dsp::ResampleStatus::ok) return raise_resample_error(r);
  double* out = py::float64_data(features.get());
  if (leading_one) out[0] = 1.0;
  dsp::feature_vector(py::float64_data(acc_int.get()), py::float64_data(vel_int.get()), out + lead);
  if (!set_field(self, n.acc_int, acc_int.release()) ||
      !set_field(self, n.vel_int, vel_int.release())) {
    return nullptr;
  }
  return features.release();
}

bool import_linear_formula(dsp::LinearFormula* out) {
  const char* forced = std::getenv("VELMORA_LINEAR_FORMULA");
  if (!forced || !*forced) return installed_linear_formula(out);
  for (dsp::LinearFormula formula : {dsp::LinearFormula::weighted, dsp::LinearFormula::slope}) {
    if (std::strcmp(forced, kFormulaNames[static_cast<int>(formula)]) == 0) {
      *out = formula;
      return true;
    }
  }
  PyErr_Format(PyExc_ImportError, "VELMORA_LINEAR_FORMULA must be weighted or slope, not %.100s",
               forced);
  return false;
}

}  // namespace stages
