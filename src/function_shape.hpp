// The operand shapes of the exposed functions: how many numbers a function
// reads before the side, whether it has a side, how many numbers follow the
// side, how many results it gives, and its Python parameters. Both modules
// read them from here, so an operand count is stated once.
#pragma once

#include <cstddef>

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

// (s, k, t, r, sigma, q, put) -> value
struct Sided : FunctionShape<6, true, 0, 1> {
    static constexpr const char* kParameters = "s, k, t, r, sigma, q=0.0, option_type='call'";
};
// (s, k, t, r, sigma, q) -> value, the same for calls and puts
struct Sideless : FunctionShape<6, false, 0, 1> {
    static constexpr const char* kParameters = "s, k, t, r, sigma, q=0.0";
};
// (s, k, t, r, sigma, q, put) -> delta, gamma, theta, vega, rho
struct SidedGreeks : FunctionShape<6, true, 0, 5> {
    static constexpr const char* kParameters = "s, k, t, r, sigma, q=0.0, option_type='call'";
};
// (price, s, k, t, r, q, put) -> volatility
struct Implied : FunctionShape<6, true, 0, 1> {
    static constexpr const char* kParameters = "price, s, k, t, r, q=0.0, option_type='call'";
};

}  // namespace varnelle
