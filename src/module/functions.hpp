// The module functions: their method records and the parsing of the
// option side.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "pricing/core/types.hpp"

namespace varnelle::module {

// How many functions the module has: one per row of functions.def that both
// modules share.
inline constexpr std::size_t kFunctionCount = 0
#define VARNELLE_BOTH(name, shape, model, default_model, keywords, kernel, cost_ns, summary, scalar, scalar_doc) +1
#include "functions.def"
    ;

// Method records in registration order: bs_delta ... bs_greeks, am_price ... am_greeks.
std::span<const PyMethodDef> function_definitions();

// "call"/"c" and "put"/"p" in any letter case; nothing else, no trimming.
binding::Result<OptionType> parse_option_type(std::string_view text);

}  // namespace varnelle::module
