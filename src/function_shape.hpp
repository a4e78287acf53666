// The operand shapes and keywords of the exposed functions, as C++ reads the
// rows of functions.def: how many numbers a function reads before the side,
// whether it has a side, how many numbers follow it, how many results it
// gives. The counts are taken from the table's parameter lists, so an operand
// is named once, there.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnelle {

template <std::size_t Numbers, bool Side, std::size_t Trailing, std::size_t Outputs>
struct FunctionShape {
    static constexpr std::size_t kNumbers = Numbers;    // doubles before the side
    static constexpr bool kSide = Side;                 // a side operand (True for a put)
    static constexpr std::size_t kTrailing = Trailing;  // doubles after the side
    static constexpr std::size_t kInputs = Numbers + (Side ? 1 : 0) + Trailing;
    static constexpr std::size_t kOutputs = Outputs;
    static constexpr std::size_t kOperands = kInputs + Outputs;
};

// The names of a list such as "s, k, t, r, sigma, q=0.0", defaults dropped:
// calls visit(name) for each.
template <class Visit>
constexpr void for_each_name(std::string_view list, Visit visit) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        item = item.substr(0, item.find('='));
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        visit(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
}

constexpr std::size_t count_names(std::string_view list) {
    std::size_t count = 0;
    for_each_name(list, [&](std::string_view) { ++count; });
    return count;
}

struct KeywordRow {
    std::string_view name;
    std::size_t operands;
};

inline constexpr KeywordRow kKeywords[] = {
#define VARNELLE_KEYWORD(keyword, operands, default_value) {#keyword, operands},
#include "functions.def"
};

// The trailing operands a list of keywords such as "tol" adds. A name the
// table does not define stops the build: the throw cannot be evaluated at
// compile time.
constexpr std::size_t keyword_operands(std::string_view keywords) {
    std::size_t operands = 0;
    for_each_name(keywords, [&](std::string_view name) {
        for (const KeywordRow& row : kKeywords) {
            if (row.name == name) {
                operands += row.operands;
                return;
            }
        }
        throw "functions.def names a keyword it does not define";
    });
    return operands;
}

// One struct per shape of the table (Sided, Sideless, ...), with its Python
// parameter list and default side.
#define VARNELLE_SHAPE(shape, parameters, side, outputs, doc)                                          \
    struct shape : FunctionShape<count_names(parameters), std::string_view(#side) != "none", 0, outputs> { \
        static constexpr std::string_view kParameters = parameters;                                    \
    };
#include "functions.def"

// A shape followed by a row's keyword operands: the operands of one ufunc.
template <class Shape, std::size_t Trailing>
struct WithTrailing : FunctionShape<Shape::kNumbers, Shape::kSide, Trailing, Shape::kOutputs> {
    using Base = Shape;
};

}  // namespace varnelle
