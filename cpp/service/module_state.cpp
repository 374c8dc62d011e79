#include "service/module_state.hpp"

#include <initializer_list>

#include "py/args.hpp"

namespace service {

using py::Ref;

ModuleState& state() {
  static ModuleState s;
  return s;
}

namespace {
Names loaded{};
}  // namespace

const Names& names() { return loaded; }

bool load_names() {
  Names& n = loaded;
  return py::intern_all({{&n.init, "__init__"},
                         {&n.put, "put"},
                         {&n.get_nowait, "get_nowait"},
                         {&n.put_nowait, "put_nowait"},
                         {&n.join, "join"},
                         {&n.terminate, "terminate"},
                         {&n.exitcode, "exitcode"},
                         {&n.start, "start"},
                         {&n.stop, "stop"},
                         {&n.stop_event, "stop_event"},
                         {&n.logger, "logger"},
                         {&n.gesture_model, "gesture_model"},
                         {&n.sensor_pipe, "sensor_pipe"},
                         {&n.data_queue, "data_queue"},
                         {&n.timer, "timer"},
                         {&n.process, "process"},
                         {&n.model_path, "model_path"},
                         {&n.encoder_path, "encoder_path"},
                         {&n.num_sample, "num_sample"},
                         {&n.confidence_th, "confidence_th"},
                         {&n.gesture_prob_th, "gesture_prob_th"},
                         {&n.recv, "recv"},
                         {&n.push_data, "push_data"},
                         {&n.data_init, "data_init"},
                         {&n.run, "run"},
                         {&n.is_set, "is_set"},
                         {&n.set, "set"},
                         {&n.perf_counter, "perf_counter"},
                         {&n.level, "level"},
                         {&n.debug, "debug"},
                         {&n.info, "info"},
                         {&n.warning, "warning"},
                         {&n.ctx, "ctx"},
                         {&n.new_data_int_sec, "NEW_DATA_INT_SEC"},
                         {&n.tsample_margin_sec, "TSAMPLE_MARGIN_SEC"}});
}

namespace {

// One imported name: the attribute taken from the imported module, the name it is bound to in
// this module, and where to keep a reference for the C++ code (may be nullptr).
struct Binding {
  const char* attribute;
  const char* bound_as;
  PyObject** keep;
};

bool bind(PyObject* module, const char* name, PyObject* value, PyObject** keep) {
  if (PyModule_AddObjectRef(module, name, value) < 0) return false;
  if (keep) *keep = Py_NewRef(value);
  return true;
}

// `import <name>`.
bool import_module(PyObject* module, const char* name, PyObject** keep) {
  Ref imported = Ref::steal(PyImport_ImportModule(name));
  return imported && bind(module, name, imported.get(), keep);
}

// `from <name> import ...` at `level`, resolved against the module's own globals; a missing
// name raises ImportError as the from-import statement does.
bool import_from(PyObject* module, const char* name, int level,
                 std::initializer_list<Binding> bindings) {
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bindings.size())));
  if (!fromlist) return false;
  Py_ssize_t i = 0;
  for (const Binding& b : bindings) {
    PyObject* attribute = PyUnicode_FromString(b.attribute);
    if (!attribute) return false;
    PyTuple_SET_ITEM(fromlist.get(), i++, attribute);
  }
  Ref source = Ref::steal(
      PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, fromlist.get(), level));
  if (!source) return false;
  for (const Binding& b : bindings) {
    Ref value = Ref::steal(PyObject_GetAttrString(source.get(), b.attribute));
    if (!value) {
      if (!py::clear_if({PyExc_AttributeError})) return false;
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", b.attribute,
                   PyModule_GetName(source.get()));
      return false;
    }
    if (!bind(module, b.bound_as, value.get(), b.keep)) return false;
  }
  return true;
}

}  // namespace

bool import_dependencies(PyObject* module) {
  ModuleState& s = state();
  if (PyModule_AddStringConstant(module, "__package__", kPackage) < 0) return false;
  PyObject* queues = nullptr;
  const bool ok =
      import_module(module, "time", &s.time_module) && import_module(module, "logging", nullptr) &&
      import_from(module, "multiprocessing", 0,
                  {{"Process", "Process", &s.process_base},
                   {"Event", "Event", &s.make_event},
                   {"queues", "queues", &queues},
                   {"get_context", "get_context", &s.get_context},
                   {"log_to_stderr", "log_to_stderr", &s.log_to_stderr}}) &&
      import_from(module, "multiprocessing.synchronize", 0, {{"Event", "EventType", nullptr}}) &&
      import_from(module, "multiprocessing.connection", 0,
                  {{"_ConnectionBase", "_ConnectionBase", nullptr}}) &&
      import_from(module, "queue", 0, {{"Full", "Full", &s.full}, {"Empty", "Empty", &s.empty}}) &&
      import_from(module, "utilities", 1,
                  {{"VelmoraComputing", "VelmoraComputing", &s.computing}}) &&
      import_from(
          module, "models.gesture", 2,
          {{"Gesture", "Gesture", &s.gesture}, {"GestureConfig", "GestureConfig", nullptr}});
  Ref queues_module = Ref::steal(queues);
  if (!ok) return false;
  s.queue_base = PyObject_GetAttrString(queues_module.get(), "Queue");
  return s.queue_base != nullptr;
}

bool perf_counter(double* out) {
  Ref clock = Ref::steal(PyObject_GetAttr(state().time_module, names().perf_counter));
  Ref now = clock ? Ref::steal(PyObject_CallNoArgs(clock.get())) : Ref();
  if (!now) return false;
  *out = PyFloat_AsDouble(now.get());
  return !(*out == -1.0 && PyErr_Occurred());
}

}  // namespace service
