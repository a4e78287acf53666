// option_type given per row: an array of texts read into an array of sides.
#pragma once

#include "array/numpy.hpp"

namespace varnelle::array {

// parse_sides(texts) -> (puts, first_bad)
// texts: a C-contiguous NumPy array of str (dtype U) or of objects.
// puts: a bool array of the same shape, True where the row is a put.
// first_bad: the flat index of the first text that names no side, or -1;
// the caller words the error, so this path stays free of formatting.
PyObject* parse_sides(PyObject* module, PyObject* texts);

// side_of(text) -> bool, True for a put; ValueError for any other text.
PyObject* side_of(PyObject* module, PyObject* text);

}  // namespace varnelle::array
