// Module velmorakit.middleware.utilities.velmora_computing: the class VelmoraComputing, the
// real-time gesture computing engine.
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/class_builder.hpp"
#include "stages/classification.hpp"
#include "stages/displacement.hpp"
#include "stages/fields.hpp"
#include "stages/filter_design.hpp"
#include "stages/interpolation.hpp"
#include "stages/sample_window.hpp"
#include "stages/stage_methods.hpp"
#include "stages/stage_module.hpp"

namespace {

using py::Ref;

constexpr const char* kModule = "velmorakit.middleware.utilities.velmora_computing";

// Module state, filled at import. The module is initialised once per process (single-phase
// initialisation), and every reference here is strong and kept for the process's lifetime.
stages::ClassConstants engine_constants;
PyObject* open_func = nullptr;    // builtins.open
PyObject* pickle_load = nullptr;  // pickle.load
dsp::LinearFormula linear_formula = dsp::LinearFormula::weighted;

// One object deserialised from a file opened in byte mode; the file is always closed.
PyObject* load_file(PyObject* path) {
  Ref file = Ref::steal(PyObject_CallFunction(open_func, "Os", path, "rb"));
  if (!file) return nullptr;
  Ref obj = Ref::steal(PyObject_CallOneArg(pickle_load, file.get()));
  PyObject* pending = PyErr_GetRaisedException();
  Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
  if (pending) {
    if (!closed) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return nullptr;
  }
  return closed ? obj.release() : nullptr;
}

PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!py::bind_arguments("__init__", args, nargs, kwnames, {"model_path", "encoder_path"}, 2,
                          bound) ||
      !py::require_exact_str(bound[0], "model_path") ||
      !py::require_exact_str(bound[1], "encoder_path")) {
    return nullptr;
  }
  const stages::Names& n = stages::names();
  if (!py::set_attr(self, n.model, load_file(bound[0])) ||
      !py::set_attr(self, n.enc, load_file(bound[1]))) {
    return nullptr;
  }
  const stages::Constants* k = engine_constants.get();
  if (!k || !py::set_attr(self, n.time_duration, PyLong_FromLong(0)) ||
      !py::set_attr(self, n.data_counter, PyLong_FromLong(0)) ||
      !py::set_attr(self, n.last_max_time, PyLong_FromLong(0)) ||
      !stages::design_filters(self, engine_constants.cls()) || !stages::reset_buffers(self, *k)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* data_init(PyObject* self, PyObject*) {
  const stages::Constants* k = engine_constants.get();
  if (!k || !stages::reset_buffers(self, *k)) return nullptr;
  Py_RETURN_NONE;
}

// The row must have an append method and six numbers before anything changes: a bad row
// leaves the counter, the window and the caller's list as they were. A list's append is
// list.append, called without looking it up.
PyObject* push_data(PyObject* self, PyObject* data) {
  const stages::Constants* k = engine_constants.get();
  if (!k) return nullptr;
  Ref sink =
      PyList_CheckExact(data) ? Ref::borrow(data) : py::get_attr(data, stages::names().append);
  double sample[6];
  if (!sink || !stages::read_sample(data, false, sample) ||
      !stages::push_sample(self, *k, sample, sink.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

bool interpolate(PyObject* self) {
  return stages::set_field(self, stages::names().gest_ut,
                           stages::interpolation_stage(self, false, linear_formula));
}

PyObject* data_interpolation(PyObject* self, PyObject*) {
  if (!interpolate(self)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* run_nn(PyObject* self, PyObject*) {
  if (!stages::classify_stage(self)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_gesture(PyObject* self, PyObject*) {
  if (!stages::decode_stage(self)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_displacement(PyObject* self, PyObject*) {
  const stages::Constants* k = engine_constants.get();
  if (!k || !stages::displacement_stage(self, *k)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* calc_displacement(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* acc_a = nullptr;
  const stages::Constants* k = engine_constants.get();
  if (!k || !py::bind_arguments("calc_displacement", args, nargs, kwnames, {"acc_a"}, 1, &acc_a)) {
    return nullptr;
  }
  return stages::calc_displacement(acc_a, k->dt);
}

// self.name = value (a new reference) for one of run()'s results. When the fields are plain
// and the field already holds that very object, the assignment would change nothing and is
// skipped; any other assignment drops the value it replaces, which may run Python code, and so
// ends the cycle's quiet.
bool reset_result(PyObject* self, PyObject* dict, PyObject* name, PyObject* value,
                  stages::CycleState* cycle) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  // The dictionary is current only while nothing has run since it was taken.
  if (dict && cycle->quiet) {
    PyObject* current = nullptr;
    const int has = PyDict_GetItemRef(dict, name, &current);
    Ref held = Ref::steal(current);
    if (has < 0) PyErr_Clear();
    if (has > 0 && current == owned.get()) return true;
  }
  cycle->quiet = false;
  return stages::set_field(self, name, owned.release());
}

PyObject* run(PyObject* self, PyObject*) {
  const stages::Names& n = stages::names();
  Ref dict = stages::plain_fields_dict(self);
  stages::CycleState cycle;
  cycle.quiet = dict && engine_constants.cached();
  PyObject* d = dict.get();
  cycle.dict = std::move(dict);
  const bool reset = reset_result(self, d, n.rec_gesture, Py_NewRef(Py_None), &cycle) &&
                     reset_result(self, d, n.confidence, PyLong_FromLong(0), &cycle) &&
                     reset_result(self, d, n.rec_gesture_prob, PyLong_FromLong(0), &cycle) &&
                     reset_result(self, d, n.disp, PyLong_FromLong(0), &cycle);
  if (!cycle.quiet) cycle.dict.reset();
  const stages::Constants* k = reset ? engine_constants.get() : nullptr;
  if (!k || !stages::filter_stage(self, *k, &cycle)) return nullptr;
  const int found = stages::segmentation_stage(self, *k, stages::SegmentFields::engine, &cycle);
  if (found < 0) return nullptr;
  if (found && (!interpolate(self) || !stages::classify_stage(self) ||
                !stages::decode_stage(self) || !stages::displacement_stage(self, *k))) {
    return nullptr;
  }
  if (!found && cycle.quiet) {
    // Nothing has run since the four results were set: they still hold None and 0.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return zero ? PyTuple_Pack(4, Py_None, zero.get(), zero.get(), zero.get()) : nullptr;
  }
  Ref gesture = stages::field(self, n.rec_gesture);
  Ref prob = gesture ? stages::field(self, n.rec_gesture_prob) : Ref();
  Ref conf = prob ? stages::field(self, n.confidence) : Ref();
  Ref disp = conf ? stages::field(self, n.disp) : Ref();
  if (!disp) return nullptr;
  return PyTuple_Pack(4, gesture.get(), prob.get(), conf.get(), disp.get());
}

PyMethodDef methods[] = {
    py::fast_keywords<init>("__init__", "__init__($self, model_path, encoder_path)\n--\n\n"),
    py::no_args<data_init>("data_init", "data_init($self, /)\n--\n\n"),
    stages::push_data_entry<push_data>(),
    stages::data_filter_entry<engine_constants>(),
    stages::data_segmentation_entry<engine_constants, stages::SegmentFields::engine>(),
    stages::data_interpolation_entry<data_interpolation>(),
    py::no_args<run_nn>("run_nn", "run_nn($self, /)\n--\n\nrun neural network"),
    py::no_args<get_gesture>("get_gesture", "get_gesture($self, /)\n--\n\nsearch for gesture"),
    py::no_args<get_displacement>("get_displacement",
                                  "get_displacement($self, /)\n--\n\nestimate displacement"),
    py::no_args<run>("run", "run($self, /)\n--\n\nrun neural netwrok"),
    py::kEndOfMethods};

PyMethodDef static_methods[] = {
    stages::design_filter_entry(),
    py::fast_keywords<calc_displacement>("calc_displacement",
                                         "calc_displacement(acc_a)\n--\n\n calc displacement"),
    py::kEndOfMethods};

PyObject* class_attributes() {
  Ref ns = Ref::steal(PyDict_New());
  Ref annotations = Ref::steal(PyDict_New());
  if (!ns || !annotations) return nullptr;
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  const bool ok = stages::put_tuning_constants(ns.get(), stages::FilterDesignStyle::tuples) &&
                  py::put_item(annotations.get(), "rec_gesture", PyNumber_Or(str_type, Py_None)) &&
                  py::put_item(annotations.get(), "rec_gesture_prob", Py_NewRef(float_type)) &&
                  py::put_item(annotations.get(), "confidence", Py_NewRef(float_type)) &&
                  py::put_item(annotations.get(), "disp", Py_NewRef(float_type)) &&
                  py::put_item(ns.get(), "__annotations__", Py_NewRef(annotations.get())) &&
                  py::put_item(ns.get(), "rec_gesture", Py_NewRef(Py_None)) &&
                  py::put_item(ns.get(), "rec_gesture_prob", PyLong_FromLong(0)) &&
                  py::put_item(ns.get(), "confidence", PyLong_FromLong(0)) &&
                  py::put_item(ns.get(), "disp", PyLong_FromLong(0));
  return ok ? ns.release() : nullptr;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "velmora_computing",
                          "The real-time gesture computing engine.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

PyObject* init_module() {
  if (!stages::prepare_stages(&linear_formula)) return nullptr;
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
  if (!builtins || !pickle) return nullptr;
  open_func = PyObject_GetAttrString(builtins.get(), "open");
  pickle_load = PyObject_GetAttrString(pickle.get(), "load");
  Ref attributes = Ref::steal(class_attributes());
  if (!open_func || !pickle_load || !attributes) return nullptr;
  const py::ClassDefinition definition{"VelmoraComputing",
                                       kModule,
                                       "Real-time gesture computing engine.",
                                       nullptr,
                                       attributes.get(),
                                       methods,
                                       static_methods};
  return stages::create_stage_module(&module_def, definition, &engine_constants);
}

}  // namespace

PyMODINIT_FUNC PyInit_velmora_computing() { return py::Barrier<init_module>::call(); }
