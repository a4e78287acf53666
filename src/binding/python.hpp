// The one way this module includes the interpreter's headers: the limited
// (stable) API at the 3.12 level, so one build serves every later version.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
