// What the gesture service module imports and defines, shared by its three classes.
#pragma once

#include <Python.h>

#include "py/attributes.hpp"

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

// Interned attribute and method names, interned at module initialisation.
struct Names {
  PyObject* init = nullptr;
  PyObject* put = nullptr;
  PyObject* get_nowait = nullptr;
  PyObject* put_nowait = nullptr;
  PyObject* join = nullptr;
  PyObject* terminate = nullptr;
  PyObject* exitcode = nullptr;
  PyObject* start = nullptr;
  PyObject* stop = nullptr;
  PyObject* stop_event = nullptr;
  PyObject* logger = nullptr;
  PyObject* gesture_model = nullptr;
  PyObject* sensor_pipe = nullptr;
  PyObject* data_queue = nullptr;
  PyObject* timer = nullptr;
  PyObject* process = nullptr;
  PyObject* model_path = nullptr;
  PyObject* encoder_path = nullptr;
  PyObject* num_sample = nullptr;
  PyObject* confidence_th = nullptr;
  PyObject* gesture_prob_th = nullptr;
  PyObject* recv = nullptr;
  PyObject* push_data = nullptr;
  PyObject* data_init = nullptr;
  PyObject* run = nullptr;
  PyObject* is_set = nullptr;
  PyObject* set = nullptr;
  PyObject* perf_counter = nullptr;
  PyObject* level = nullptr;
  PyObject* debug = nullptr;
  PyObject* info = nullptr;
  PyObject* warning = nullptr;
  PyObject* ctx = nullptr;
  PyObject* new_data_int_sec = nullptr;
  PyObject* tsample_margin_sec = nullptr;
};
const Names& names();
// Interns the names. False with an exception set.
bool load_names();

// Runs the module's imports in their fixed order, binds every imported name in `module` as a
// Python module's import statements would, and fills state().
bool import_dependencies(PyObject* module);

// time.perf_counter(), looked up anew at each reading. False with an exception set.
bool perf_counter(double* out);

}  // namespace service
