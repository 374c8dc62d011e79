// Module velmorakit.middleware.utilities.dataset_shaper: the class DatasetShaper, which cuts
// recorded samples into segment vectors, and extract_segments for whole recordings.
#include <algorithm>

#include "dsp/stream_extractor.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/class_builder.hpp"
#include "stages/fields.hpp"
#include "stages/filter_design.hpp"
#include "stages/interpolation.hpp"
#include "stages/sample_window.hpp"
#include "stages/stage_methods.hpp"
#include "stages/stage_module.hpp"

namespace {

using py::Ref;

constexpr const char* kModule = "velmorakit.middleware.utilities.dataset_shaper";

// Module state, filled at import. The module is initialised once per process (single-phase
// initialisation), and every reference here is strong and kept for the process's lifetime.
stages::ClassConstants shaper_constants;
dsp::LinearFormula linear_formula = dsp::LinearFormula::weighted;

PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::bind_arguments("__init__", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
  const stages::Names& n = stages::names();
  const stages::Constants* k = shaper_constants.get();
  if (!k || !py::set_attr(self, n.data_counter, PyLong_FromLong(0)) ||
      !py::set_attr(self, n.last_max_time, PyLong_FromLong(0)) ||
      !stages::design_filters(self, shaper_constants.cls()) || !stages::reset_buffers(self, *k) ||
      !py::set_attr(self, n.left, PyLong_FromLong(0)) ||
      !py::set_attr(self, n.right, PyLong_FromLong(98))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The caller's object is never changed; a bad sample changes nothing.
PyObject* push_data(PyObject* self, PyObject* data) {
  const stages::Constants* k = shaper_constants.get();
  double sample[6];
  if (!k || !stages::read_sample(data, true, sample) ||
      !stages::push_sample(self, *k, sample, nullptr)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* data_interpolation(PyObject* self, PyObject*) {
  return stages::interpolation_stage(self, true, linear_formula);
}

PyObject* run(PyObject* self, PyObject*) {
  stages::CycleState cycle;
  cycle.dict = stages::plain_fields_dict(self);
  cycle.quiet = cycle.dict && shaper_constants.cached();
  const stages::Constants* k = shaper_constants.get();
  if (!k || !stages::filter_stage(self, *k, &cycle)) return nullptr;
  const int found = stages::segment<shaper_constants, stages::SegmentFields::shaper>(self, &cycle);
  if (found < 0) return nullptr;
  if (!found) Py_RETURN_FALSE;
  return stages::interpolation_stage(self, true, linear_formula);
}

// Filter designs and tuning of a fresh DatasetShaper, for extract_segments.
bool extractor_settings(dsp::ExtractorSettings* s) {
  const stages::Constants* k = shaper_constants.get();
  if (!k) return false;
  Ref probe = Ref::steal(PyObject_CallNoArgs(shaper_constants.cls()));
  if (!probe || !stages::read_filters(probe.get(), &s->filters)) return false;
  s->segment = k->segment;
  s->rows = static_cast<std::size_t>(k->rows);
  s->dt = k->dt;
  s->formula = linear_formula;
  return true;
}

PyObject* extract_segments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!py::bind_arguments("extract_segments", args, nargs, kwnames, {"samples", "step"}, 1,
                          bound)) {
    return nullptr;
  }
  Py_ssize_t step = 1;
  if (bound[1] && !py::size_argument(bound[1], "step", &step)) return nullptr;
  if (step < 1) {
    PyErr_Format(PyExc_ValueError, "step must be at least 1, not %zd", step);
    return nullptr;
  }
  Ref samples = Ref::steal(PyArray_FROMANY(bound[0], NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
  if (!samples) return nullptr;
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(samples.get());
  if (PyArray_NDIM(arr) != 2) {
    PyErr_Format(PyExc_ValueError, "samples must be two-dimensional (N x 6), not %d-dimensional",
                 PyArray_NDIM(arr));
    return nullptr;
  }
  if (PyArray_DIM(arr, 1) != 6) {
    PyErr_Format(PyExc_ValueError,
                 "samples must have 6 columns (acceleration x, y, z, velocity x, y, z), not %zd",
                 static_cast<Py_ssize_t>(PyArray_DIM(arr, 1)));
    return nullptr;
  }
  dsp::ExtractorSettings settings;
  if (!extractor_settings(&settings)) return nullptr;
  dsp::Extracted found;
  const double* data = static_cast<const double*>(PyArray_DATA(arr));
  const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  py::run_without_gil(
      [&] { dsp::extract_segments(settings, data, n, static_cast<std::size_t>(step), &found); });

  const auto k = static_cast<npy_intp>(found.bounds.size() / 2);
  const auto width = static_cast<npy_intp>(dsp::kFeatureLength) + 1;
  npy_intp vector_dims[2] = {k, width};
  npy_intp bound_dims[2] = {k, 2};
  Ref vectors = Ref::steal(PyArray_SimpleNew(2, vector_dims, NPY_DOUBLE));
  Ref bounds = Ref::steal(PyArray_SimpleNew(2, bound_dims, NPY_INT64));
  if (!vectors || !bounds) return nullptr;
  double* v = py::float64_data(vectors.get());
  auto* b = static_cast<npy_int64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(bounds.get())));
  for (npy_intp i = 0; i < k; ++i) {
    v[i * width] = 1.0;
    std::copy_n(found.features.data() + i * (width - 1), width - 1, v + i * width + 1);
    b[2 * i] = found.bounds[2 * i];
    b[2 * i + 1] = found.bounds[2 * i + 1];
  }
  return PyTuple_Pack(2, vectors.get(), bounds.get());
}

PyMethodDef methods[] = {
    py::fast_keywords<init>("__init__", "__init__($self, /)\n--\n\n"),
    stages::push_data_entry<push_data>(),
    stages::data_filter_entry<shaper_constants>(),
    stages::data_segmentation_entry<shaper_constants, stages::SegmentFields::shaper>(),
    stages::data_interpolation_entry<data_interpolation>(),
    py::no_args<run>("run", "run($self, /)\n--\n\nrun neural netwrok"),
    py::kEndOfMethods};

PyMethodDef static_methods[] = {stages::design_filter_entry(), py::kEndOfMethods};

PyMethodDef module_functions[] = {
    py::fast_keywords<extract_segments>(
        "extract_segments",
        "extract_segments(samples, step=1)\n--\n\n"
        "Cut a recording into segment vectors.\n\n"
        "Behaves like a fresh DatasetShaper fed every row of `samples` (N x 6: acceleration\n"
        "x, y, z, velocity x, y, z) in order, with run() after every `step`-th push. Returns\n"
        "(vectors, bounds): the (k, 301) segment vectors and the (k, 2) int64 start and end\n"
        "sample index of each segment (negative on the zero rows before the first sample).\n"
        "The loop runs without the GIL."),
    py::kEndOfMethods};

PyObject* class_attributes() {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  const bool ok = stages::put_tuning_constants(ns.get(), stages::FilterDesignStyle::lists);
  return ok ? ns.release() : nullptr;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "dataset_shaper",
                          "Offline segment extraction: recorded samples into segment vectors.",
                          -1,
                          module_functions,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

PyObject* init_module() {
  if (!stages::prepare_stages(&linear_formula)) return nullptr;
  Ref attributes = Ref::steal(class_attributes());
  if (!attributes) return nullptr;
  const py::ClassDefinition definition{
      "DatasetShaper",
      kModule,
      "Cuts recorded sensor samples into fixed-length segment vectors.",
      nullptr,
      attributes.get(),
      methods,
      static_methods};
  return stages::create_stage_module(&module_def, definition, &shaper_constants);
}

}  // namespace

PyMODINIT_FUNC PyInit_dataset_shaper() { return py::Barrier<init_module>::call(); }
