// Owning reference to a Python object: one strong reference, released on destruction.
#pragma once

#include <Python.h>

namespace py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* obj) { return Ref(obj); }
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  void reset(PyObject* obj = nullptr) {
    PyObject* old = obj_;
    obj_ = obj;
    Py_XDECREF(old);
  }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace py
