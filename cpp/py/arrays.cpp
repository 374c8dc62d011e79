#define VELMORA_NUMPY_API_OWNER
#include "py/arrays.hpp"

#include "py/args.hpp"

namespace py {

namespace {

bool is_plain_float64(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr) && PyArray_ISALIGNED(arr);
}

void shape_text(char* buf, size_t len, int ndim, npy_intp rows, npy_intp cols) {
  char r[24] = "n";
  char c[24] = "n";
  if (rows >= 0) PyOS_snprintf(r, sizeof r, "%zd", static_cast<Py_ssize_t>(rows));
  if (cols >= 0) PyOS_snprintf(c, sizeof c, "%zd", static_cast<Py_ssize_t>(cols));
  if (ndim == 1) {
    PyOS_snprintf(buf, len, "(%s,)", r);
  } else {
    PyOS_snprintf(buf, len, "(%s, %s)", r, c);
  }
}

inline bool shape_matches(PyArrayObject* arr, int ndim, npy_intp rows, npy_intp cols) {
  const npy_intp* dims = PyArray_DIMS(arr);
  return PyArray_NDIM(arr) == ndim && (rows < 0 || dims[0] == rows) &&
         (ndim == 1 || cols < 0 || dims[1] == cols);
}

// ValueError "<what> has shape (..); expected (..)"; always false.
bool raise_shape(PyArrayObject* arr, const char* what, int ndim, npy_intp rows, npy_intp cols) {
  char expected[64];
  shape_text(expected, sizeof expected, ndim, rows, cols);
  Ref got = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(arr), "shape"));
  if (got)
    PyErr_Format(PyExc_ValueError, "%s has shape %R; expected %s", what, got.get(), expected);
  return false;
}

// The name of what is read, as given or taken from a str only when a message needs it.
struct Name {
  const char* text;
  PyObject* str;
  const char* get() const {
    const char* utf8 = text ? text : PyUnicode_AsUTF8(str);
    if (!utf8) PyErr_Clear();
    return utf8 ? utf8 : "?";
  }
};

bool read_view(PyObject* obj, const Name& what, int ndim, npy_intp rows, npy_intp cols,
               Float64View* out, bool contiguous) {
  Ref owner = Ref::borrow(obj);
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
  const int layout = contiguous ? NPY_ARRAY_CARRAY_RO : NPY_ARRAY_ALIGNED;
  // The common case, a float64 array as the stages store them, is read in place.
  if (!PyArray_CheckExact(obj) || PyArray_TYPE(arr) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr) ||
      !PyArray_CHKFLAGS(arr, layout)) {
    owner = Ref::steal(PyArray_FROMANY(obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
    if (!owner) {
      if (!clear_if({PyExc_TypeError, PyExc_ValueError})) return false;
      char expected[64];
      shape_text(expected, sizeof expected, ndim, rows, cols);
      PyErr_Format(PyExc_TypeError, "%s must be a float64 array of shape %s, not %.200s",
                   what.get(), expected, Py_TYPE(obj)->tp_name);
      return false;
    }
    arr = reinterpret_cast<PyArrayObject*>(owner.get());
  }
  if (!shape_matches(arr, ndim, rows, cols)) {
    return raise_shape(arr, what.get(), ndim, rows, cols);
  }
  const npy_intp* strides = PyArray_STRIDES(arr);
  out->data = static_cast<const double*>(PyArray_DATA(arr));
  out->rows = PyArray_DIM(arr, 0);
  out->row_stride = strides[0] / static_cast<npy_intp>(sizeof(double));
  out->cols = ndim == 2 ? PyArray_DIM(arr, 1) : 1;
  out->col_stride = ndim == 2 ? strides[1] / static_cast<npy_intp>(sizeof(double)) : 0;
  out->converted = owner.get() != obj;
  out->owner = std::move(owner);
  return true;
}

}  // namespace

bool import_numpy() { return _import_array() >= 0; }

PyObject* new_float64(npy_intp rows, npy_intp cols) {
  npy_intp dims[2] = {rows, cols};
  return PyArray_SimpleNew(cols < 0 ? 1 : 2, dims, NPY_DOUBLE);
}

PyObject* zeros_float64(npy_intp rows, npy_intp cols) {
  npy_intp dims[2] = {rows, cols};
  return PyArray_ZEROS(cols < 0 ? 1 : 2, dims, NPY_DOUBLE, 0);
}

PyObject* float64_scalar(double value) {
  PyObject* scalar = PyArrayScalar_New(Double);
  if (scalar) PyArrayScalar_ASSIGN(scalar, Double, value);
  return scalar;
}

bool read_float64(PyObject* obj, const char* what, int ndim, npy_intp rows, npy_intp cols,
                  Float64View* out, bool contiguous) {
  return read_view(obj, Name{what, nullptr}, ndim, rows, cols, out, contiguous);
}

bool read_float64(PyObject* obj, PyObject* what, int ndim, npy_intp rows, npy_intp cols,
                  Float64View* out, bool contiguous) {
  return read_view(obj, Name{nullptr, what}, ndim, rows, cols, out, contiguous);
}

double* own_float64_data(PyObject* obj, npy_intp rows, npy_intp cols) {
  if (!PyArray_CheckExact(obj) || !is_plain_float64(obj)) return nullptr;
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
  const bool own = PyArray_CHKFLAGS(arr, NPY_ARRAY_CARRAY | NPY_ARRAY_OWNDATA) &&
                   !PyArray_BASE(arr) && shape_matches(arr, cols < 0 ? 1 : 2, rows, cols);
  return own ? static_cast<double*>(PyArray_DATA(arr)) : nullptr;
}

bool writable_float64(PyObject* obj, const char* what, npy_intp rows, npy_intp cols,
                      double** data) {
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (!is_plain_float64(obj) || !PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISWRITEABLE(arr)) {
    PyErr_Format(PyExc_TypeError,
                 "%s must be a writable C-contiguous float64 array of shape (%zd, %zd), not %R",
                 what, static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols), Py_TYPE(obj));
    return false;
  }
  if (!shape_matches(arr, 2, rows, cols)) return raise_shape(arr, what, 2, rows, cols);
  *data = static_cast<double*>(PyArray_DATA(arr));
  return true;
}

}  // namespace py
