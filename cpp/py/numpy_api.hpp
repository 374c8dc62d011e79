// The NumPy C API for every translation unit; arrays.cpp owns the API table.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL velmora_ARRAY_API
#ifndef VELMORA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
