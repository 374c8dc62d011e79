#include "py/attributes.hpp"

namespace py {

bool set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyObject_SetAttr(obj, name, owned.get()) == 0;
}

bool set_attr(PyObject* obj, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyObject_SetAttrString(obj, name, owned.get()) == 0;
}

bool plain_attr(PyObject* obj, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr) {
    return false;
  }
  PyObject* found = _PyType_LookupRef(type, name);
  Py_XDECREF(found);
  return !found;
}

Ref sole_attr(PyObject* obj, PyObject* name) {
#ifdef Py_GIL_DISABLED
  (void)obj;
  (void)name;
  return Ref();
#else
  if (!plain_attr(obj, name)) return Ref();
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(obj, name, &value) <= 0) {
    PyErr_Clear();
    return Ref();
  }
  Ref held = Ref::steal(value);
  // One reference is the instance's, the other the one just taken.
  const Py_ssize_t weaklist = Py_TYPE(value)->tp_weaklistoffset;
  if (Py_REFCNT(value) != 2 || weaklist < 0 ||
      (weaklist > 0 && *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + weaklist))) {
    return Ref();
  }
  return held;
#endif
}

bool intern_all(std::initializer_list<std::pair<PyObject**, const char*>> names) {
  for (const auto& [slot, text] : names) {
    if (!*slot) *slot = PyUnicode_InternFromString(text);
    if (!*slot) return false;
  }
  return true;
}

}  // namespace py
