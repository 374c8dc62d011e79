// Module velmorakit.middleware.velmora_gesture: the gesture service. VelmoraGesture is the
// application's entry point, VGesture the worker process that runs the computing engine, and
// VelmoraQueue the latest-result queue between them.
#include "py/boundary.hpp"
#include "py/class_builder.hpp"
#include "py/ref.hpp"
#include "service/facade.hpp"
#include "service/latest_queue.hpp"
#include "service/module_state.hpp"
#include "service/worker.hpp"

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "velmora_gesture",
                          "Gesture recognition service: facade, worker process and result queue.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

// Builds a class, keeps a reference for the C++ code (when `keep` is given) and adds it to
// the module.
bool add(PyObject* module, PyObject* cls, PyObject** keep) {
  py::Ref owned = py::Ref::steal(cls);
  if (!owned || !py::add_class(module, owned.get())) return false;
  if (keep) *keep = owned.release();
  return true;
}

PyObject* init_module() {
  py::Ref module = py::Ref::steal(PyModule_Create(&module_def));
  if (!module || !service::load_names() || !service::import_dependencies(module.get())) {
    return nullptr;
  }
  service::ModuleState& s = service::state();
  if (!add(module.get(), service::build_latest_queue_class(), &s.latest_queue) ||
      !add(module.get(), service::build_worker_class(), &s.worker) ||
      !add(module.get(), service::build_facade_class(), nullptr)) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_velmora_gesture() { return py::Barrier<init_module>::call(); }
