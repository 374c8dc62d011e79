#include "stages/classification.hpp"

#include <cmath>
#include <cstring>

#include "py/args.hpp"
#include "stages/fields.hpp"

namespace stages {

using py::Ref;

namespace {

// First position of the largest value of the flattened probabilities (a NaN wins, as in
// NumPy's argmax).
npy_intp first_argmax(const double* p, npy_intp n) {
  npy_intp best = 0;
  for (npy_intp i = 0; i < n; ++i) {
    if (std::isnan(p[i])) return i;
    if (p[i] > p[best]) best = i;
  }
  return best;
}

// Largest value apart from position `skip`; NaN propagates.
double max_except(const double* p, npy_intp n, npy_intp skip) {
  double best = -HUGE_VAL;
  for (npy_intp i = 0; i < n; ++i) {
    if (i == skip) continue;
    if (std::isnan(p[i])) return p[i];
    if (p[i] > best) best = p[i];
  }
  return best;
}

// int(best / second), truncated toward zero. A classifier certain of one class leaves no
// finite quotient: the confidence is then the largest int (any threshold passes), or 0 for 0/0.
PyObject* confidence_of(double best, double second) {
  const double q = best / second;
  if (std::isnan(q)) return PyLong_FromLong(0);
  if (std::isinf(q))
    return q > 0 ? PyLong_FromSsize_t(PY_SSIZE_T_MAX) : PyLong_FromSsize_t(-PY_SSIZE_T_MAX - 1);
  return PyLong_FromDouble(q);
}

// np.array_str of the decoded label. A 1 x 1 array holding a plain ASCII label renders as
// [['label']]; anything else is left to NumPy.
PyObject* label_text(PyObject* decoded) {
  if (PyArray_Check(decoded)) {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(decoded);
    const bool one = PyArray_NDIM(arr) == 2 && PyArray_DIM(arr, 0) == 1 && PyArray_DIM(arr, 1) == 1;
    const int type = PyArray_TYPE(arr);
    if (one && (type == NPY_OBJECT || type == NPY_UNICODE)) {
      Ref item = Ref::steal(PyArray_GETITEM(arr, static_cast<const char*>(PyArray_DATA(arr))));
      if (!item) return nullptr;
      Py_ssize_t len = 0;
      const char* text =
          PyUnicode_CheckExact(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &len) : nullptr;
      if (!text && !py::clear_if({PyExc_UnicodeEncodeError})) return nullptr;
      bool plain = text && len > 0 && len <= 60;
      for (Py_ssize_t i = 0; plain && i < len; ++i) {
        const char c = text[i];
        plain = c >= 0x20 && c < 0x7f && c != '\'' && c != '"' && c != '\\';
      }
      if (plain) return PyUnicode_FromFormat("[['%s']]", text);
    }
  }
  static PyObject* array_str = nullptr;  // numpy.array_str, imported on first use and kept
  if (!array_str) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    array_str = PyObject_GetAttrString(numpy.get(), "array_str");
    if (!array_str) return nullptr;
  }
  return PyObject_CallOneArg(array_str, decoded);
}

PyObject* decode(PyObject* self, PyObject* indicator) {
  Ref enc = Ref::steal(PyObject_GetAttr(self, names().enc));
  if (!enc) return nullptr;
  return PyObject_CallMethodOneArg(enc.get(), names().inverse_transform, indicator);
}

PyObject* first_element(PyObject* decoded) {
  Ref row = Ref::steal(PySequence_GetItem(decoded, 0));
  return row ? PySequence_GetItem(row.get(), 0) : nullptr;
}

}  // namespace

bool classify_stage(PyObject* self) {
  const Names& n = names();
  Ref model = Ref::steal(PyObject_GetAttr(self, n.model));
  Ref features = model ? Ref::steal(PyObject_GetAttr(self, n.gest_ut)) : Ref();
  if (!features) return false;
  Ref batch = Ref::steal(PyList_New(1));
  if (!batch) return false;
  PyList_SET_ITEM(batch.get(), 0, features.release());
  return set_field(self, n.pre_gest,
                   PyObject_CallMethodOneArg(model.get(), n.predict_proba, batch.get()));
}

bool decode_stage(PyObject* self) {
  const Names& n = names();
  Ref model = Ref::steal(PyObject_GetAttr(self, n.model));
  Ref pre_obj = model ? Ref::steal(PyObject_GetAttr(self, n.pre_gest)) : Ref();
  Ref classes = pre_obj ? Ref::steal(PyObject_GetAttr(model.get(), n.classes_)) : Ref();
  Ref size_obj = classes ? Ref::steal(PyObject_GetAttr(classes.get(), n.size)) : Ref();
  if (!size_obj) return false;
  const long long class_count = PyLong_AsLongLong(size_obj.get());
  if (class_count == -1 && PyErr_Occurred()) return false;

  // The probabilities as given (their dtype decides the indicator's and the probability's
  // type) and as doubles for the comparisons.
  Ref pre = Ref::steal(PyArray_FROM_O(pre_obj.get()));
  Ref probs =
      pre ? Ref::steal(PyArray_FROMANY(pre.get(), NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO)) : Ref();
  if (!probs) return false;
  PyArrayObject* pre_arr = reinterpret_cast<PyArrayObject*>(pre.get());
  if (PyArray_NDIM(pre_arr) != 2) {
    PyErr_Format(PyExc_ValueError, "pre_gest must be a 2-D probability array, not %d-D",
                 PyArray_NDIM(pre_arr));
    return false;
  }
  const npy_intp count = PyArray_SIZE(pre_arr);
  const npy_intp cols = PyArray_DIM(pre_arr, 1);
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "attempt to get argmax of an empty sequence");
    return false;
  }
  const double* p =
      static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(probs.get())));
  const npy_intp top = first_argmax(p, count);

  Ref best, decoded;
  double best_value, second_value;
  if (class_count > 1) {
    if (top >= cols) {
      PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 1 with size %zd",
                   static_cast<Py_ssize_t>(top), static_cast<Py_ssize_t>(cols));
      return false;
    }
    Py_INCREF(PyArray_DESCR(pre_arr));
    Ref indicator = Ref::steal(PyArray_Zeros(2, PyArray_DIMS(pre_arr), PyArray_DESCR(pre_arr), 0));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!indicator || !one) return false;
    PyArrayObject* ind = reinterpret_cast<PyArrayObject*>(indicator.get());
    for (npy_intp r = 0; r < PyArray_DIM(ind, 0); ++r) {
      if (PyArray_SETITEM(ind, static_cast<char*>(PyArray_GETPTR2(ind, r, top)), one.get()) < 0) {
        return false;
      }
    }
    decoded = Ref::steal(decode(self, indicator.get()));
    if (!decoded) return false;
    best = Ref::steal(PyArray_Scalar(PyArray_GETPTR2(pre_arr, top / cols, top % cols),
                                     PyArray_DESCR(pre_arr), pre.get()));
    if (!best || !set_field(self, n.gesture, label_text(decoded.get()))) return false;
    if (count < 2) {
      PyErr_SetString(PyExc_ValueError,
                      "zero-size array to reduction operation maximum which has no identity");
      return false;
    }
    best_value = p[top];
    second_value = max_except(p, count, top);
  } else {
    npy_intp one_dims[2] = {1, 1};
    Ref indicator = Ref::steal(PyArray_ZEROS(2, one_dims, NPY_INTP, 0));
    if (!indicator) return false;
    *static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(indicator.get()))) = 1;
    decoded = Ref::steal(decode(self, indicator.get()));
    if (!decoded || !set_field(self, n.gesture, label_text(decoded.get()))) return false;
    if (top == 0) {
      // A row of one column has no second probability: the classifier is certain.
      best = Ref::steal(PyArray_Scalar(PyArray_DATA(pre_arr), PyArray_DESCR(pre_arr), pre.get()));
      if (!best) return false;
      best_value = p[0];
      second_value = cols > 1 ? p[1] : 0.0;
    } else {
      best = Ref::steal(PyLong_FromLong(0));
      best_value = 0.0;
      second_value = 0.1;
    }
  }
  Ref label = Ref::steal(first_element(decoded.get()));
  return label && set_field(self, n.rec_gesture_prob, best.release()) &&
         set_field(self, n.confidence, confidence_of(best_value, second_value)) &&
         set_field(self, n.rec_gesture, label.release());
}

}  // namespace stages
