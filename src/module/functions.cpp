#include "functions.hpp"

#include <array>
#include <string>

#include "binding/arguments.hpp"
#include "pricing/american.hpp"
#include "pricing/black_scholes.hpp"
#include "pricing/option_type.hpp"
#include "pygreeks.hpp"

namespace varnelle::module {
namespace {

using binding::CallSignature;
using binding::PyErr;
using binding::Result;

constexpr std::array<std::string_view, 7> kParameters{"s", "k", "t", "r", "sigma", "q", "option_type"};
constexpr std::size_t kRequired = 5;
constexpr std::size_t kSlotsWithSide = 7;
constexpr std::size_t kSlotsWithoutSide = 6;

// Shared by every signature: the six-parameter ones use its first six entries.
PyObject* g_interned_parameters[kParameters.size()] = {};

constexpr CallSignature signature(std::string_view name, std::size_t parameters) {
    return {name, std::span<const std::string_view>(kParameters.data(), parameters), kRequired,
            g_interned_parameters};
}

// Converted arguments of one call.
struct Arguments {
    OptionInputs inputs;
    OptionType side;
};

[[gnu::cold, gnu::noinline]] PyErr invalid_option_type() {
    return binding::value_error(kInvalidOptionType);
}

// Values bound from the keyword dict are borrowed from it, and a conversion
// method (Python code) may empty that dict while the call still needs them;
// they are held for the duration of the conversions.
class KeywordHold {
public:
    // The slots after the positional ones: filled from the dict, or empty.
    KeywordHold(PyObject* const* slots, std::size_t count) : slots_(slots), count_(count) {
        for (std::size_t i = 0; i < count_; ++i) {
            if (slots_[i] != nullptr) Py_IncRef(slots_[i]);
        }
    }
    ~KeywordHold() {
        for (std::size_t i = 0; i < count_; ++i) {
            if (slots_[i] != nullptr) Py_DecRef(slots_[i]);
        }
    }
    // For a thread the interpreter ends at shutdown: it unwinds without the
    // interpreter lock, so the references are left as they are.
    void abandon() noexcept { count_ = 0; }
    KeywordHold(const KeywordHold&) = delete;
    KeywordHold& operator=(const KeywordHold&) = delete;

private:
    PyObject* const* slots_;
    std::size_t count_;
};

// Binds and converts in parameter order; the first failure ends the call.
// The side is parsed only after every argument converted. Inlined into each
// entry with its parameter count fixed, so the success path is straight-line.
template <std::size_t Count>
[[gnu::always_inline]] inline std::optional<PyErr> convert_arguments(const CallSignature& sig,
                                                                     PyObject* args, PyObject* kwargs,
                                                                     Arguments& out) {
    PyObject* slots[Count] = {};
    if (auto error = binding::bind_arguments(sig, args, kwargs, slots)) [[unlikely]] return error;
    // Positional arguments come first; the tuple holds them for the whole call.
    const std::size_t positional = kwargs == nullptr ? Count : static_cast<std::size_t>(PyTuple_Size(args));
    KeywordHold hold(slots + positional, Count - positional);

    double values[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};  // an absent q stays 0.0
    try {
        for (std::size_t i = 0; i < 6; ++i) {
            if (slots[i] == nullptr) continue;
            auto converted = binding::extract_double(slots[i]);  // may run __float__
            if (!converted.ok()) [[unlikely]] {
                return binding::wrap_argument_error(kParameters[i], std::move(converted.error()));
            }
            values[i] = converted.value();
        }
    } catch (const binding::InternalFailure&) {
        throw;  // the hold releases its references as usual
    } catch (...) {
        // A thread being ended at shutdown, unwinding without the
        // interpreter lock: leave the references alone.
        hold.abandon();
        throw;
    }
    out.inputs = {values[0], values[1], values[2], values[3], values[4], values[5]};
    out.side = OptionType::Call;  // what the default text "call" parses to
    if constexpr (Count == kSlotsWithSide) {
        if (slots[6] != nullptr) {
            auto converted = binding::extract_text(slots[6]);
            if (!converted.ok()) [[unlikely]] {
                return binding::wrap_argument_error(kParameters[6], std::move(converted.error()));
            }
            auto parsed = parse_option_type(converted.value());
            if (!parsed.ok()) [[unlikely]] return std::move(parsed.error());
            out.side = parsed.value();
        }
    }
    return std::nullopt;
}

PyObject* to_python(double value) { return binding::new_float(value); }

PyObject* to_python(const Greeks& greeks) { return create_pygreeks(greeks); }

// One entry per module function: bind, convert, price, box.
template <const CallSignature& Sig, auto Price>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::run_contained([&]() -> Result<PyObject*> {
        Arguments a{};
        if (auto error = convert_arguments<Sig.parameters.size()>(Sig, args, kwargs, a)) [[unlikely]] {
            return std::move(*error);
        }
        if constexpr (requires { Price(a.inputs, a.side); }) {
            return to_python(Price(a.inputs, a.side));
        } else {
            return to_python(Price(a.inputs));
        }
    });
}

constexpr CallSignature kBsDelta = signature("bs_delta", kSlotsWithSide);
constexpr CallSignature kBsGamma = signature("bs_gamma", kSlotsWithoutSide);
constexpr CallSignature kBsTheta = signature("bs_theta", kSlotsWithSide);
constexpr CallSignature kBsVega = signature("bs_vega", kSlotsWithoutSide);
constexpr CallSignature kBsRho = signature("bs_rho", kSlotsWithSide);
constexpr CallSignature kBsGreeks = signature("bs_greeks", kSlotsWithSide);
constexpr CallSignature kAmPrice = signature("am_price", kSlotsWithSide);
constexpr CallSignature kAmDelta = signature("am_delta", kSlotsWithSide);
constexpr CallSignature kAmGamma = signature("am_gamma", kSlotsWithSide);
constexpr CallSignature kAmTheta = signature("am_theta", kSlotsWithSide);
constexpr CallSignature kAmVega = signature("am_vega", kSlotsWithSide);
constexpr CallSignature kAmRho = signature("am_rho", kSlotsWithSide);
constexpr CallSignature kAmGreeks = signature("am_greeks", kSlotsWithSide);

// Docstrings: a text-signature header the interpreter turns into
// __text_signature__, then the documentation proper.
#define VARNELLE_SIG7(name) name "(s, k, t, r, sigma, q=0.0, option_type=\"call\")\n--\n\n"
#define VARNELLE_SIG6(name) name "(s, k, t, r, sigma, q=0.0)\n--\n\n"
#define VARNELLE_ARGS_SKT                               \
    "Args:\n"                                           \
    "    s: Current price of the underlying asset\n"   \
    "    k: Strike price of the option\n"               \
    "    t: Time to expiration in years\n"
#define VARNELLE_ARGS_RSQ                               \
    "    r: Risk-free interest rate\n"                  \
    "    sigma: Volatility of the underlying asset\n"   \
    "    q: Dividend yield\n"
#define VARNELLE_ARG_SIDE "    option_type: 'call' or 'put'\n"
#define VARNELLE_DOC7(name, summary, returns) \
    VARNELLE_SIG7(name) summary "\n\n" VARNELLE_ARGS_SKT VARNELLE_ARGS_RSQ VARNELLE_ARG_SIDE "\nReturns:\n    " returns
#define VARNELLE_DOC6(name, summary, returns) \
    VARNELLE_SIG6(name) summary "\n\n" VARNELLE_ARGS_SKT VARNELLE_ARGS_RSQ "\nReturns:\n    " returns

constexpr const char kBsDeltaDoc[] =
    VARNELLE_SIG7("bs_delta")
    "Calculate the delta of a European option using Black-Scholes.\n\n" VARNELLE_ARGS_SKT
    "    r: Risk-free interest rate (e.g., 0.05 for 5%)\n"
    "    sigma: Volatility of the underlying asset (e.g., 0.2 for 20%)\n"
    "    q: Dividend yield (e.g., 0.01 for 1%)\n" VARNELLE_ARG_SIDE
    "\nReturns:\n    The delta of the option";

// PyMethodDef wants mutable-looking pointers in C; the text itself is constant.
#define VARNELLE_METHOD(name, sig, price, doc)                                              \
    PyMethodDef {                                                                           \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<sig, price>)), \
            METH_VARARGS | METH_KEYWORDS, doc                                               \
    }

const std::array<PyMethodDef, 13> kMethods{
    VARNELLE_METHOD("bs_delta", kBsDelta, black_scholes_delta, kBsDeltaDoc),
    VARNELLE_METHOD("bs_gamma", kBsGamma, black_scholes_gamma,
                    VARNELLE_DOC6("bs_gamma", "Calculate the gamma of a European option using Black-Scholes.",
                                  "The gamma of the option (same for calls and puts)")),
    VARNELLE_METHOD("bs_theta", kBsTheta, black_scholes_theta,
                    VARNELLE_DOC7("bs_theta", "Calculate the theta of a European option using Black-Scholes.",
                                  "The theta of the option (per day)")),
    VARNELLE_METHOD("bs_vega", kBsVega, black_scholes_vega,
                    VARNELLE_DOC6("bs_vega", "Calculate the vega of a European option using Black-Scholes.",
                                  "The vega of the option (same for calls and puts)")),
    VARNELLE_METHOD("bs_rho", kBsRho, black_scholes_rho,
                    VARNELLE_DOC7("bs_rho", "Calculate the rho of a European option using Black-Scholes.",
                                  "The rho of the option (per 1% change in interest rate)")),
    VARNELLE_METHOD("bs_greeks", kBsGreeks, black_scholes_greeks,
                    VARNELLE_DOC7("bs_greeks", "Calculate all Greeks for a European option using Black-Scholes.",
                                  "A Greeks object with delta, gamma, theta, vega, and rho")),
    VARNELLE_METHOD("am_price", kAmPrice, american_price,
                    VARNELLE_DOC7("am_price",
                                  "Calculate the price of an American option using Bjerksund-Stensland 2002.",
                                  "The price of the American option")),
    VARNELLE_METHOD("am_delta", kAmDelta, american_delta,
                    VARNELLE_DOC7("am_delta", "Calculate the delta of an American option using Bjerksund-Stensland.",
                                  "The delta of the American option")),
    VARNELLE_METHOD("am_gamma", kAmGamma, american_gamma,
                    VARNELLE_DOC7("am_gamma", "Calculate the gamma of an American option using Bjerksund-Stensland.",
                                  "The gamma of the American option")),
    VARNELLE_METHOD("am_theta", kAmTheta, american_theta,
                    VARNELLE_DOC7("am_theta", "Calculate the theta of an American option using Bjerksund-Stensland.",
                                  "The theta of the American option (per day)")),
    VARNELLE_METHOD("am_vega", kAmVega, american_vega,
                    VARNELLE_DOC7("am_vega", "Calculate the vega of an American option using Bjerksund-Stensland.",
                                  "The vega of the American option")),
    VARNELLE_METHOD("am_rho", kAmRho, american_rho,
                    VARNELLE_DOC7("am_rho", "Calculate the rho of an American option using Bjerksund-Stensland.",
                                  "The rho of the American option (per 1% change in interest rate)")),
    VARNELLE_METHOD("am_greeks", kAmGreeks, american_greeks,
                    VARNELLE_DOC7("am_greeks",
                                  "Calculate all Greeks for an American option using Bjerksund-Stensland.",
                                  "A Greeks object with delta, gamma, theta, vega, and rho")),
};

}  // namespace

std::span<const PyMethodDef> function_definitions() { return kMethods; }

Result<OptionType> parse_option_type(std::string_view text) {
    if (const auto side = option_type_from_text(text)) return *side;
    return invalid_option_type();
}

}  // namespace varnelle::module
