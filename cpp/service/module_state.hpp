// What the gesture service module imports and defines, shared by its three classes.
#pragma once

#include <Python.h>

#include "py/ref.hpp"

namespace service {

constexpr const char* kModule = "velmorakit.middleware.velmora_gesture";
constexpr const char* kPackage = "velmorakit.middleware";

// Strong references, taken at module initialisation and kept for the life of the process.
struct ModuleState {
  PyObject* time_module = nullptr;    // time: perf_counter is looked up at each reading
  PyObject* process_base = nullptr;   // multiprocessing.Process
  PyObject* make_event = nullptr;     // multiprocessing.Event
  PyObject* get_context = nullptr;    // multiprocessing.get_context
  PyObject* log_to_stderr = nullptr;  // multiprocessing.log_to_stderr
  PyObject* queue_base = nullptr;     // multiprocessing.queues.Queue
  PyObject* full = nullptr;           // queue.Full
  PyObject* empty = nullptr;          // queue.Empty
  PyObject* computing = nullptr;      // VelmoraComputing
  PyObject* gesture = nullptr;        // Gesture
  PyObject* latest_queue = nullptr;   // VelmoraQueue
  PyObject* worker = nullptr;         // VGesture
};
ModuleState& state();

// Interned attribute and method names, created once per process.
struct Names {
  PyObject* init = py::intern("__init__");
  PyObject* put = py::intern("put");
  PyObject* get_nowait = py::intern("get_nowait");
  PyObject* put_nowait = py::intern("put_nowait");
  PyObject* join = py::intern("join");
  PyObject* terminate = py::intern("terminate");
  PyObject* exitcode = py::intern("exitcode");
  PyObject* start = py::intern("start");
  PyObject* stop = py::intern("stop");
  PyObject* stop_event = py::intern("stop_event");
  PyObject* logger = py::intern("logger");
  PyObject* gesture_model = py::intern("gesture_model");
  PyObject* sensor_pipe = py::intern("sensor_pipe");
  PyObject* data_queue = py::intern("data_queue");
  PyObject* timer = py::intern("timer");
  PyObject* process = py::intern("process");
  PyObject* model_path = py::intern("model_path");
  PyObject* encoder_path = py::intern("encoder_path");
  PyObject* num_sample = py::intern("num_sample");
  PyObject* confidence_th = py::intern("confidence_th");
  PyObject* gesture_prob_th = py::intern("gesture_prob_th");
  PyObject* recv = py::intern("recv");
  PyObject* push_data = py::intern("push_data");
  PyObject* data_init = py::intern("data_init");
  PyObject* run = py::intern("run");
  PyObject* is_set = py::intern("is_set");
  PyObject* set = py::intern("set");
  PyObject* perf_counter = py::intern("perf_counter");
  PyObject* level = py::intern("level");
  PyObject* debug = py::intern("debug");
  PyObject* info = py::intern("info");
  PyObject* warning = py::intern("warning");
  PyObject* ctx = py::intern("ctx");
  PyObject* new_data_int_sec = py::intern("NEW_DATA_INT_SEC");
  PyObject* tsample_margin_sec = py::intern("TSAMPLE_MARGIN_SEC");
};
const Names& names();

// Runs the module's imports in their fixed order, binds every imported name in `module` as a
// Python module's import statements would, and fills state().
bool import_dependencies(PyObject* module);

// time.perf_counter(), looked up anew at each reading. False with an exception set.
bool perf_counter(double* out);

}  // namespace service
