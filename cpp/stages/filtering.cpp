#include "stages/filtering.hpp"

#include "stages/fields.hpp"
#include "stages/filter_design.hpp"

namespace stages {

using py::Ref;

namespace {

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

}  // namespace

bool filter_stage(PyObject* self, Constants k) {
  const Names& n = names();
  py::Float64View data;
  dsp::WindowFilters f;
  if (!read_field(self, n.data_m, 2, k.rows, kWidth, &data, true) || !read_filters(self, &f)) {
    return false;
  }
  // New arrays every cycle, as the NumPy code makes them: an array handed out earlier never
  // changes under its holder, whoever holds it and however (a weak reference included).
  Ref acc = Ref::steal(py::new_float64(k.rows, 3));
  Ref vel = Ref::steal(py::new_float64(k.rows, 3));
  Ref veltot = Ref::steal(py::new_float64(k.rows));
  if (!acc || !vel || !veltot) return false;
  dsp::filter_window(f, data.data, static_cast<std::size_t>(k.rows), py::float64_data(acc.get()),
                     py::float64_data(vel.get()), py::float64_data(veltot.get()));
  return set_field(self, n.acc_filt_m, acc.release()) &&
         set_field(self, n.vel_filt_m, vel.release()) &&
         set_field(self, n.veltot_filt_a, veltot.release()) &&
         set_field(self, n.time_a, time_column(data.owner.get(), data.data, data.rows));
}

}  // namespace stages
