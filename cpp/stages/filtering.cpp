#include "stages/filtering.hpp"

#include "stages/fields.hpp"
#include "stages/filter_design.hpp"

namespace stages {

using py::Ref;

namespace {

// An output field's array for this cycle. The array the field holds is written over in place
// when no reference but the instance's can see it change (py::sole_attr), so that a caller who
// kept an earlier result, strongly or weakly, keeps its values; otherwise a new array, which
// `assign` says must be stored, as the NumPy code stores one every cycle.
struct Output {
  Ref array;
  double* data = nullptr;
  bool assign = false;
};

bool output(PyObject* self, PyObject* name, npy_intp rows, npy_intp cols, Output* out,
            PyObject* dict) {
  out->array = sole_field(self, name, dict);
  out->data = out->array ? py::own_float64_data(out->array.get(), rows, cols) : nullptr;
  out->assign = !out->data;
  if (out->assign) {
    out->array = Ref::steal(py::new_float64(rows, cols));
    if (!out->array) return false;
    out->data = py::float64_data(out->array.get());
  }
  return true;
}

bool store(PyObject* self, PyObject* name, Output* out) {
  return !out->assign || set_field(self, name, out->array.release());
}

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

// Whether `obj` is still the view that time_column makes of this data_m.
bool is_time_column(PyObject* obj, PyObject* data_m, const double* data, npy_intp rows) {
  if (!PyArray_CheckExact(obj)) return false;
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
  const int writable =
      PyArray_FLAGS(reinterpret_cast<PyArrayObject*>(data_m)) & NPY_ARRAY_WRITEABLE;
  return PyArray_BASE(arr) == data_m && PyArray_DATA(arr) == data + 6 && PyArray_NDIM(arr) == 1 &&
         PyArray_DIM(arr, 0) == rows &&
         PyArray_STRIDE(arr, 0) == kWidth * static_cast<npy_intp>(sizeof(double)) &&
         PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr) && PyArray_ISALIGNED(arr) &&
         (PyArray_FLAGS(arr) & NPY_ARRAY_WRITEABLE) == writable;
}

// time_a: a view of data_m's time column, as slicing data_m[:, 6] gives it. A view made in an
// earlier cycle of the same matrix shows the same values, and is kept when only the instance
// holds it.
// `kept`, when given, receives the view when the field already held it (nothing assigned);
// `dict` as for field().
bool store_time_column(PyObject* self, const py::Float64View& data, Ref* kept, PyObject* dict) {
  PyObject* name = names().time_a;
  Ref current = sole_field(self, name, dict);
  if (current && is_time_column(current.get(), data.owner.get(), data.data, data.rows)) {
    if (kept) *kept = std::move(current);
    return true;
  }
  return set_field(self, name, time_column(data.owner.get(), data.data, data.rows));
}

}  // namespace

bool filter_stage(PyObject* self, Constants k, CycleState* cycle) {
  const Names& n = names();
  py::Float64View data;
  dsp::WindowFilters f;
  bool quiet = cycle && cycle->quiet && cycle->dict;
  // The instance dictionary, used only while no Python code can have run.
  PyObject* dict = quiet ? cycle->dict.get() : nullptr;
  if (!read_field(self, n.data_m, 2, k.rows, kWidth, &data, true, dict)) return false;
  quiet = quiet && !data.converted;
  if (!read_filters(self, &f, &quiet, quiet ? dict : nullptr)) return false;
  dict = quiet ? dict : nullptr;
  // Chosen after every read that may run Python code, so that nothing takes a reference to a
  // reused array between its check and the filtering.
  Output acc, vel, veltot;
  if (!output(self, n.acc_filt_m, k.rows, 3, &acc, dict) ||
      !output(self, n.vel_filt_m, k.rows, 3, &vel, dict) ||
      !output(self, n.veltot_filt_a, k.rows, -1, &veltot, dict)) {
    return false;
  }
  dsp::filter_window(f, data.data, static_cast<std::size_t>(k.rows), acc.data, vel.data,
                     veltot.data);
  // An assignment drops the value it replaces, which may run Python code.
  quiet = quiet && !acc.assign && !vel.assign && !veltot.assign;
  Ref time;
  if (!store(self, n.acc_filt_m, &acc) || !store(self, n.vel_filt_m, &vel) ||
      !store(self, n.veltot_filt_a, &veltot) ||
      !store_time_column(self, data, quiet ? &time : nullptr, quiet ? dict : nullptr)) {
    return false;
  }
  if (cycle) {
    cycle->quiet = quiet && time;
    cycle->veltot = cycle->quiet ? std::move(veltot.array) : Ref();
    if (!cycle->quiet) cycle->dict.reset();
    cycle->time = std::move(time);
  }
  return true;
}

}  // namespace stages
