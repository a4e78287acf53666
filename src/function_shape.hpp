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

// Keyword-only parameters: none, unless a shape says otherwise.
template <std::size_t Numbers, bool Side, std::size_t Trailing, std::size_t Outputs>
struct KeywordFree : FunctionShape<Numbers, Side, Trailing, Outputs> {
    static constexpr const char* kKeywords = "";
};

// (s, k, t, r, sigma, q, put) -> value
struct Sided : KeywordFree<6, true, 0, 1> {
    static constexpr const char* kParameters = "s, k, t, r, sigma, q=0.0, option_type='call'";
};
// (s, k, t, r, sigma, q) -> value, the same for calls and puts
struct Sideless : KeywordFree<6, false, 0, 1> {
    static constexpr const char* kParameters = "s, k, t, r, sigma, q=0.0";
};
// (s, k, t, r, sigma, q, put) -> delta, gamma, theta, vega, rho
struct SidedGreeks : KeywordFree<6, true, 0, 5> {
    static constexpr const char* kParameters = "s, k, t, r, sigma, q=0.0, option_type='call'";
};
// (price, s, k, t, r, q, put) -> volatility
struct Implied : KeywordFree<6, true, 0, 1> {
    static constexpr const char* kParameters = "price, s, k, t, r, q=0.0, option_type='call'";
};

// The same with a trailing target error `tol`: the shapes of a model chosen
// by model= (the Python function keeps the parameters of its own row and
// passes tol on).
struct SidedTol : KeywordFree<6, true, 1, 1> {
    static constexpr const char* kParameters = Sided::kParameters;
};
struct SidedGreeksTol : KeywordFree<6, true, 1, 5> {
    static constexpr const char* kParameters = SidedGreeks::kParameters;
};
struct ImpliedTol : KeywordFree<6, true, 1, 1> {
    static constexpr const char* kParameters = Implied::kParameters;
};
// (k, t, r, sigma, q, put, tol) -> the exercise boundary today
struct Boundary : FunctionShape<5, true, 1, 1> {
    static constexpr const char* kParameters = "k, t, r, sigma, q=0.0, option_type='put'";
    static constexpr const char* kKeywords = "tol=1e-6";
};

}  // namespace varnelle
