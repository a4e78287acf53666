// Binding of a positional tuple and a keyword dict to named parameters, and
// conversion of the bound objects, with TypeErrors worded the way the
// interpreter words its own.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "python.hpp"

namespace varnelle::binding {

struct CallSignature {
    std::string_view function_name;               // "bs_delta"; messages say "bs_delta()"
    std::span<const std::string_view> parameters;  // all parameters, in declaration order
    std::size_t required;                          // leading parameters that must be given
    // Process-wide cache parallel to `parameters`: the names as interned str
    // objects, made on first use. Keywords written in Python source are
    // interned, so most keys match by pointer without comparing bytes.
    PyObject** interned_names;
};

namespace detail {
std::optional<PyErr> bind_with_keywords(const CallSignature& signature, PyObject* args,
                                        PyObject* kwargs, PyObject** slots);
// The pending error after PyFloat_AsDouble returned -1.0, or -1.0 itself.
Result<double> double_or_error();
}  // namespace detail

// Fills slots[0 .. parameters.size()) with borrowed references to the bound
// arguments (null where an optional parameter was not given), or returns the
// TypeError describing the misuse. The caller passes all slots null.
inline std::optional<PyErr> bind_arguments(const CallSignature& signature, PyObject* args,
                                           PyObject* kwargs, PyObject** slots) {
    // The common call: positional arguments only, and the right number of them.
    if (kwargs == nullptr) {
        const Py_ssize_t given = PyTuple_Size(args);
        const auto count = static_cast<std::size_t>(given);
        if (given >= 0 && count >= signature.required && count <= signature.parameters.size()) {
            for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);
            return std::nullopt;
        }
    }
    return detail::bind_with_keywords(signature, args, kwargs, slots);
}

// float(obj) as the interpreter defines it: floats, ints and anything with
// __float__ or __index__.
inline Result<double> extract_double(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    // -1.0 is both a legitimate value and the failure marker.
    if (value == -1.0) [[unlikely]] return detail::double_or_error();
    return value;
}

// The UTF-8 bytes of a str (or str subclass), borrowed from the object.
Result<std::string_view> extract_text(PyObject* obj);

// Rewrites a conversion TypeError as "argument 'name': ..."; any other error
// passes through unchanged.
[[gnu::cold]] PyErr wrap_argument_error(std::string_view parameter, PyErr error);

// str(obj) as UTF-8 for use inside messages. Never fails.
[[gnu::cold]] std::string display_text(PyObject* obj);

}  // namespace varnelle::binding
