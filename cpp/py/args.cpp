#include "py/args.hpp"

#include <cstring>

#include "py/ref.hpp"

namespace py {

bool bind_arguments(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", func, count,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* key_text = PyUnicode_AsUTF8(key);
    if (!key_text) return false;
    Py_ssize_t slot = 0;
    for (const char* name : names) {
      if (std::strcmp(name, key_text) == 0) break;
      ++slot;
    }
    if (slot == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", func, key_text);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, key_text);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  Py_ssize_t position = 0;
  for (const char* name : names) {
    if (position < required && !out[position]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", func, name,
                   position + 1);
      return false;
    }
    ++position;
  }
  return true;
}

bool clear_if(std::initializer_list<PyObject*> types) {
  for (PyObject* type : types) {
    if (PyErr_ExceptionMatches(type)) {
      PyErr_Clear();
      return true;
    }
  }
  return false;
}

void raise_incorrect_type(const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               Py_TYPE(got)->tp_name);
}

bool require_exact_str(PyObject* obj, const char* name) {
  if (PyUnicode_CheckExact(obj)) return true;
  raise_incorrect_type(name, "str", obj);
  return false;
}

PyObject* integer_argument(PyObject* obj, const char* name) {
  if (PyLong_CheckExact(obj)) return Py_NewRef(obj);
  if (!PyNumber_Check(obj)) {
    raise_incorrect_type(name, "int", obj);
    return nullptr;
  }
  return PyNumber_Long(obj);
}

bool size_argument(PyObject* obj, const char* name, Py_ssize_t* out) {
  Ref value = Ref::steal(integer_argument(obj, name));
  if (!value) return false;
  *out = PyLong_AsSsize_t(value.get());
  return !(*out == -1 && PyErr_Occurred());
}

bool unpack(PyObject* obj, Py_ssize_t count, Ref* out) {
  if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    out[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (out[i]) continue;
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", count,
                   i);
    }
    return false;
  }
  Ref surplus = Ref::steal(PyIter_Next(iterator.get()));
  if (surplus) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
  }
  return !PyErr_Occurred();
}

}  // namespace py
