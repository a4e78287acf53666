// The option side as users write it: "call", "put", "c" or "p" in any letter
// case. One reading serves every door into the library, so a text accepted
// by the scalar functions is accepted by the array functions and vice versa.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pricing/core/types.hpp"

namespace varnelle {

// What every door says of a text that names no side; the array module hands
// it to its Python layer too, which adds the value and where it was found.
inline constexpr char kInvalidOptionType[] = "Invalid option type. Use 'call' or 'put'.";

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

// The same reading for a column of texts, without a branch that depends on
// the text: a column of calls and puts in random order would mispredict one
// on every other row. chars holds the text's first four code points (or
// UTF-8 bytes), zero past its end, and count its length; returns 0 for a
// call, 1 for a put, 2 for no side. Agrees with option_type_from_text on
// every text.
inline int option_type_code(const std::uint32_t (&chars)[4], std::size_t count) {
    std::uint32_t key = 0;
    unsigned plain = static_cast<unsigned>(count - 1 < 4);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint32_t c = chars[i];
        // Within the text every character is ASCII and not NUL.
        plain &= static_cast<unsigned>(c < 0x80) & (static_cast<unsigned>(c != 0) | static_cast<unsigned>(i >= count));
        const std::uint32_t lowered = c + (static_cast<std::uint32_t>(c - 'A' < 26u) << 5);
        key |= (lowered & 0xffu) << (8 * i);
    }
    const unsigned call = static_cast<unsigned>(key == 'c') | static_cast<unsigned>(key == 0x6c6c6163u);  // "call"
    const unsigned put = static_cast<unsigned>(key == 'p') | static_cast<unsigned>(key == 0x747570u);     // "put"
    return static_cast<int>(2 - plain * (2 * call + put));
}

}  // namespace varnelle
