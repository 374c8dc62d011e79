#include "py/class_builder.hpp"

#include "py/ref.hpp"

namespace py {

namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

bool add_static_methods(PyObject* ns, PyMethodDef* defs, PyObject* module_name) {
  for (PyMethodDef* def = defs; def && def->ml_name; ++def) {
    Ref func = Ref::steal(PyCFunction_NewEx(def, nullptr, module_name));
    if (!func || !put(ns, def->ml_name, PyStaticMethod_New(func.get()))) return false;
  }
  return true;
}

bool add_instance_methods(PyObject* cls, PyMethodDef* defs) {
  for (PyMethodDef* def = defs; def && def->ml_name; ++def) {
    Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    if (!descr || PyObject_SetAttrString(cls, def->ml_name, descr.get()) < 0) return false;
  }
  return true;
}

}  // namespace

PyObject* build_class(const ClassSpec& spec) {
  Ref ns = Ref::steal(spec.attributes ? PyDict_Copy(spec.attributes) : PyDict_New());
  Ref module_name = Ref::steal(PyUnicode_FromString(spec.module));
  if (!ns || !module_name) return nullptr;
  if (!put(ns.get(), "__module__", Py_NewRef(module_name.get())) ||
      !put(ns.get(), "__qualname__", PyUnicode_FromString(spec.name)) ||
      !put(ns.get(), "__doc__", spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None)) ||
      !add_static_methods(ns.get(), spec.static_methods, module_name.get())) {
    return nullptr;
  }
  Ref bases = Ref::borrow(spec.bases);
  if (!bases) bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!bases) return nullptr;
  Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                             spec.name, bases.get(), ns.get()));
  if (!cls || !add_instance_methods(cls.get(), spec.methods)) return nullptr;
  return cls.release();
}

bool add_class(PyObject* module, PyObject* cls) {
  PyObject* name = PyObject_GetAttrString(cls, "__name__");
  if (!name) return false;
  const int rc = PyObject_SetAttr(module, name, cls);
  Py_DECREF(name);
  return rc == 0;
}

}  // namespace py
