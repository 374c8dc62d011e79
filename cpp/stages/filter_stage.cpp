// The filtering stage: the filtered buffers of the window, refilled in place where nothing
// else holds them.

#include "dsp/iir_filter.hpp"
#include "dsp/window_filter.hpp"
#include "py/fields.hpp"
#include "stages/field_access.hpp"
#include "stages/window_stages.hpp"

namespace stages {

using py::Ref;

namespace {

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

}  // namespace

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

}  // namespace stages
