// The one way the array module includes NumPy: the interpreter's limited API
// first, then NumPy's C API built against NumPy 2 headers but targeting the
// 1.25 API, so that one build runs under NumPy 1.25 and later, 1.x and 2.x.
// module.cpp imports the API tables; every other file only uses them.
#pragma once

#include "binding/python.hpp"

#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL varnelle_np_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL varnelle_np_UFUNC_API
#ifndef VARNELLE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>
