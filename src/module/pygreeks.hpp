// PyGreeks: the read-only result object of bs_greeks and am_greeks.
#pragma once

#include <string>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "pricing/core/types.hpp"

namespace varnelle::module {

// The class's type object (borrowed), created on first use.
binding::Result<PyObject*> pygreeks_type_object();

// A new PyGreeks holding the record; failures are internal failures.
PyObject* create_pygreeks(const Greeks& greeks);

// Fixed-point text with six decimals, correctly rounded from the exact value
// of the double (ties to even), never an exponent; the sign follows the sign
// bit; NaN prints as "NaN", infinities as "inf" and "-inf".
std::string format_fixed6(double x);

}  // namespace varnelle::module
