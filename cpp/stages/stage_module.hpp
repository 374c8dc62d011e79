// Initialisation shared by the engine's and the shaper's modules.
#pragma once

#include "dsp/resample.hpp"
#include "py/class_builder.hpp"
#include "stages/tuning.hpp"

namespace stages {

// What the stages need before any class exists: the NumPy C API, the interned field names and
// the interpolation formula (into `formula`). False with an exception set.
bool prepare_stages(dsp::LinearFormula* formula);

// The module of `module_def` holding the class of `definition`, whose tuning constants
// `constants` then reads. A new reference, or nullptr with an exception set.
PyObject* create_stage_module(PyModuleDef* module_def, const py::ClassDefinition& definition,
                              ClassConstants* constants);

}  // namespace stages
