// The thirteen module functions: their method records and the parsing of the
// option side.
#pragma once

#include <span>
#include <string_view>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "pricing/types.hpp"

namespace varnelle::module {

// Method records in registration order: bs_delta ... bs_greeks, am_price ... am_greeks.
std::span<const PyMethodDef> function_definitions();

// "call"/"c" and "put"/"p" in any letter case; nothing else, no trimming.
binding::Result<OptionType> parse_option_type(std::string_view text);

}  // namespace varnelle::module
