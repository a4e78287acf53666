// The option side as users write it: "call", "put", "c" or "p" in any letter
// case. One reading serves every door into the library, so a text accepted
// by the scalar functions is accepted by the array functions and vice versa.
#pragma once

#include <optional>
#include <string_view>

#include "types.hpp"

namespace varnelle {

// Empty when the text names no side.
inline std::optional<OptionType> option_type_from_text(std::string_view text) {
    // Lower-casing only A-Z accepts exactly what full Unicode lower-casing
    // would: no other character lowers to a letter of these four words.
    char lowered[4];
    if (text.empty() || text.size() > sizeof lowered) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        lowered[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view word(lowered, text.size());
    if (word == "c" || word == "call") return OptionType::Call;
    if (word == "p" || word == "put") return OptionType::Put;
    return std::nullopt;
}

}  // namespace varnelle
