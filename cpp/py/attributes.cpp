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

bool intern_all(std::initializer_list<std::pair<PyObject**, const char*>> names) {
  for (const auto& [slot, text] : names) {
    if (!*slot) *slot = PyUnicode_InternFromString(text);
    if (!*slot) return false;
  }
  return true;
}

}  // namespace py
