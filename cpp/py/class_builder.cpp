#include "py/class_builder.hpp"

#include <cstring>
#include <string>

#include "py/boundary.hpp"
#include "py/ref.hpp"

namespace py {

bool put_item(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

namespace {

bool add_static_methods(PyObject* ns, PyMethodDef* defs, PyObject* module_name) {
  for (PyMethodDef* def = defs; def && def->ml_name; ++def) {
    Ref func = Ref::steal(PyCFunction_NewEx(def, nullptr, module_name));
    if (!func || !put_item(ns, def->ml_name, PyStaticMethod_New(func.get()))) return false;
  }
  return true;
}

// A constructor made a method descriptor would be correct, but inspect.signature(cls) binds
// the class's __init__ to the class itself, which a method descriptor refuses. __init__ is
// therefore an instancemethod around a plain function that binds like a Python function; the
// function checks the instance's type as a descriptor would and calls the real __init__.
struct Constructor {
  PyMethodDef def;    // the trampoline, with the text signature "(self, ...)"
  PyMethodDef* real;  // METH_FASTCALL | METH_KEYWORDS
  PyTypeObject* cls;
  std::string doc;
};

PyObject* call_constructor(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  auto* c = static_cast<Constructor*>(PyCapsule_GetPointer(capsule, "velmora.constructor"));
  if (!c) return nullptr;
  if (nargs < 1 || !PyObject_TypeCheck(args[0], c->cls)) {
    PyErr_Format(PyExc_TypeError, "descriptor '__init__' requires a '%s' object", c->cls->tp_name);
    return nullptr;
  }
  auto real = reinterpret_cast<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>(
      reinterpret_cast<void (*)()>(c->real->ml_meth));
  return real(args[0], args + 1, nargs - 1, kwnames);
}

PyObject* constructor(PyObject* cls, PyMethodDef* def, PyObject* module_name) {
  auto* c = new Constructor{
      {}, def, reinterpret_cast<PyTypeObject*>(cls), def->ml_doc ? def->ml_doc : ""};
  const std::string::size_type bound = c->doc.find("($self");
  if (bound != std::string::npos) c->doc.replace(bound, 6, "(self");
  c->def = PyMethodDef{
      def->ml_name,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Barrier<call_constructor>::call)),
      METH_FASTCALL | METH_KEYWORDS, c->doc.c_str()};
  Ref capsule = Ref::steal(PyCapsule_New(c, "velmora.constructor", [](PyObject* cap) {
    delete static_cast<Constructor*>(PyCapsule_GetPointer(cap, "velmora.constructor"));
  }));
  if (!capsule) {
    delete c;
    return nullptr;
  }
  Ref func = Ref::steal(PyCFunction_NewEx(&c->def, capsule.get(), module_name));
  return func ? PyInstanceMethod_New(func.get()) : nullptr;
}

bool add_instance_methods(PyObject* cls, PyMethodDef* defs, PyObject* module_name) {
  for (PyMethodDef* def = defs; def && def->ml_name; ++def) {
    Ref method = Ref::steal(std::strcmp(def->ml_name, "__init__") == 0
                                ? constructor(cls, def, module_name)
                                : PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    if (!method || PyObject_SetAttrString(cls, def->ml_name, method.get()) < 0) return false;
  }
  return true;
}

}  // namespace

PyObject* build_class(const ClassDefinition& definition) {
  Ref ns = Ref::steal(definition.attributes ? PyDict_Copy(definition.attributes) : PyDict_New());
  Ref module_name = Ref::steal(PyUnicode_FromString(definition.module));
  if (!ns || !module_name) return nullptr;
  if (!put_item(ns.get(), "__module__", Py_NewRef(module_name.get())) ||
      !put_item(ns.get(), "__qualname__", PyUnicode_FromString(definition.name)) ||
      !put_item(ns.get(), "__doc__",
                definition.doc ? PyUnicode_FromString(definition.doc) : Py_NewRef(Py_None)) ||
      !add_static_methods(ns.get(), definition.static_methods, module_name.get())) {
    return nullptr;
  }
  Ref bases = Ref::borrow(definition.bases);
  if (!bases) bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!bases) return nullptr;
  Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                             definition.name, bases.get(), ns.get()));
  if (!cls || !add_instance_methods(cls.get(), definition.methods, module_name.get()))
    return nullptr;
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
