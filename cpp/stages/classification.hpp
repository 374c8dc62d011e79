// Classification of the feature vector by the deserialised model and label encoder.
#pragma once

#include <Python.h>

namespace stages {

// pre_gest = model.predict_proba([gest_ut])
bool classify_stage(PyObject* self);

// Picks the most probable class, decodes its label and stores gesture, rec_gesture_prob,
// confidence and rec_gesture.
bool decode_stage(PyObject* self);

}  // namespace stages
