// Module velmorakit.middleware.utilities.velmora_computing: the class VelmoraComputing, the
// real-time gesture computing engine.
#include "py/args.hpp"
#include "py/class_builder.hpp"
#include "py/fields.hpp"
#include "stages/classification.hpp"
#include "stages/displacement_stage.hpp"
#include "stages/stage_methods.hpp"
#include "stages/window_stages.hpp"

namespace {

using py::Ref;

constexpr const char* kModule = "velmorakit.middleware.utilities.velmora_computing";

stages::ClassConstants engine_constants;
PyObject* open_func = nullptr;    // builtins.open
PyObject* pickle_load = nullptr;  // pickle.load

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
  Ref model = Ref::steal(load_file(bound[0]));
  if (!model || PyObject_SetAttrString(self, "model", model.get()) < 0) return nullptr;
  Ref enc = Ref::steal(load_file(bound[1]));
  if (!enc || PyObject_SetAttrString(self, "enc", enc.get()) < 0) return nullptr;
  const stages::Constants* k = engine_constants.get();
  if (!k || !py::set_int_attribute(self, "time_duration", 0) ||
      !py::set_int_attribute(self, "data_counter", 0) ||
      !py::set_int_attribute(self, "last_max_time", 0) ||
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

// The sample is checked before anything changes: a bad row leaves the counter, the window
// and the caller's list as they were.
PyObject* push_data(PyObject* self, PyObject* data) {
  const stages::Constants* k = engine_constants.get();
  if (!k) return nullptr;
  Ref append;
  if (!PyList_CheckExact(data)) {
    append = Ref::steal(PyObject_GetAttrString(data, "append"));
    if (!append) return nullptr;
  }
  double sample[6];
  stages::Push push;
  if (!stages::read_sample(data, false, sample) || !stages::prepare_push(self, *k, &push)) {
    return nullptr;
  }
  Ref stamp = Ref::steal(PyFloat_FromDouble(push.stamp));
  if (!stamp) return nullptr;
  if (append) {
    Ref done = Ref::steal(PyObject_CallOneArg(append.get(), stamp.get()));
    if (!done) return nullptr;
  } else if (PyList_Append(data, stamp.get()) < 0) {
    return nullptr;
  }
  if (!stages::commit_push(push, sample)) return nullptr;
  Py_RETURN_NONE;
}

bool interpolate(PyObject* self) {
  Ref features = Ref::steal(stages::interpolation_stage(self, false));
  return features && PyObject_SetAttrString(self, "gest_ut", features.get()) == 0;
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

bool displacement(PyObject* self) {
  const stages::Constants* k = engine_constants.get();
  return k && stages::displacement_stage(self, *k);
}

PyObject* get_displacement(PyObject* self, PyObject*) {
  if (!displacement(self)) return nullptr;
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

struct ResultNames {
  PyObject *rec_gesture, *rec_gesture_prob, *confidence, *disp;
};

const ResultNames& result_names() {
  static const ResultNames n{py::intern("rec_gesture"), py::intern("rec_gesture_prob"),
                             py::intern("confidence"), py::intern("disp")};
  return n;
}

PyObject* run(PyObject* self, PyObject*) {
  const ResultNames& r = result_names();
  const py::Fields fields(self);
  if (!fields.ok()) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  const bool reset = fields.set(r.rec_gesture, Py_None) && fields.set(r.confidence, zero.get()) &&
                     fields.set(r.rec_gesture_prob, zero.get()) && fields.set(r.disp, zero.get());
  const stages::Constants* k = reset ? engine_constants.get() : nullptr;
  if (!k || !stages::filter_stage(fields, *k)) return nullptr;
  const int found = stages::segmentation_stage(self, fields, *k, stages::SegmentFields::engine);
  if (found < 0) return nullptr;
  if (!found) {
    // No later stage ran: the result is the reset values.
    return PyTuple_Pack(4, Py_None, zero.get(), zero.get(), zero.get());
  }
  if (!interpolate(self) || !stages::classify_stage(self) || !stages::decode_stage(self) ||
      !stages::displacement_stage(self, *k)) {
    return nullptr;
  }
  Ref gesture = Ref::steal(fields.get(r.rec_gesture));
  Ref prob = gesture ? Ref::steal(fields.get(r.rec_gesture_prob)) : Ref();
  Ref conf = prob ? Ref::steal(fields.get(r.confidence)) : Ref();
  Ref disp = conf ? Ref::steal(fields.get(r.disp)) : Ref();
  if (!disp) return nullptr;
  return PyTuple_Pack(4, gesture.get(), prob.get(), conf.get(), disp.get());
}

#define NOARGS(name, doc) {#name, name, METH_NOARGS, #name "($self, /)\n--\n\n" doc}
#define FASTKW(name, sig, doc)                                               \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), \
   METH_FASTCALL | METH_KEYWORDS, #name sig "\n--\n\n" doc}

PyMethodDef methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init)),
     METH_FASTCALL | METH_KEYWORDS, "__init__($self, model_path, encoder_path)\n--\n\n"},
    NOARGS(data_init, ""),
    {"push_data", push_data, METH_O,
     "push_data($self, data, /)\n--\n\npush new data into data matrix, push new data from the "
     "bottom"},
    {"data_filter", stages::data_filter_method<engine_constants>, METH_NOARGS,
     "data_filter($self, /)\n--\n\n"},
    {"data_segmentation",
     stages::data_segmentation_method<engine_constants, stages::SegmentFields::engine>, METH_NOARGS,
     "data_segmentation($self, /)\n--\n\nsegment veltot"},
    NOARGS(data_interpolation, "data interpolation"),
    NOARGS(run_nn, "run neural network"),
    NOARGS(get_gesture, "search for gesture"),
    NOARGS(get_displacement, "estimate displacement"),
    NOARGS(run, "run neural netwrok"),
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef static_methods[] = {
    {"_design_filter",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stages::design_filter_method)),
     METH_FASTCALL | METH_KEYWORDS, "_design_filter(order, cutoff, f_nyq)\n--\n\n"},
    FASTKW(calc_displacement, "(acc_a)", " calc displacement"),
    {nullptr, nullptr, 0, nullptr}};

PyObject* class_attributes() {
  Ref ns = Ref::steal(PyDict_New());
  Ref annotations = Ref::steal(PyDict_New());
  if (!ns || !annotations) return nullptr;
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  const bool ok = stages::put_tuning_constants(ns.get(), stages::SpecificationStyle::tuples) &&
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

}  // namespace

PyMODINIT_FUNC PyInit_velmora_computing() {
  if (!py::import_numpy()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
  if (!module || !builtins || !pickle) return nullptr;
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
  Ref cls = Ref::steal(py::build_class(definition));
  if (!cls || !py::add_class(module.get(), cls.get())) return nullptr;
  engine_constants.bind(cls.get());  // the module keeps the class alive
  return module.release();
}
