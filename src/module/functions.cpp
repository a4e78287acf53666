#include "functions.hpp"

#include <array>
#include <string>

#include "binding/arguments.hpp"
#include "function_shape.hpp"
#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/core/option_type.hpp"
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

// The binder reads its arguments by the names above: the table's shapes of
// the scalar module's functions must give the same numbers.
constexpr bool binds_as_shaped(std::string_view parameters) {
    std::size_t count = 0;
    bool same = true;
    for_each_name(parameters, [&](std::string_view name) {
        same = same && count < kSlotsWithoutSide && name == kParameters[count];
        ++count;
    });
    return same && count == kSlotsWithoutSide;
}

// Every function's signature, bound by name so that the entry template can
// take it as a constant.
#define VARNELLE_BOTH(name, shape, model, default_model, keywords, kernel, cost_ns, summary, scalar, scalar_doc) \
    static_assert(binds_as_shaped(shape::kParameters), #name ": its shape's numbers are not the binder's");     \
    constexpr CallSignature k_##name = signature(#name, shape::kSide ? kSlotsWithSide : kSlotsWithoutSide);
#include "functions.def"

// PyMethodDef wants mutable-looking pointers in C; the text itself is constant.
#define VARNELLE_BOTH(name, shape, model, default_model, keywords, kernel, cost_ns, summary, scalar, scalar_doc) \
    PyMethodDef{#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<k_##name, scalar>)),     \
                METH_VARARGS | METH_KEYWORDS, scalar_doc},
const PyMethodDef kMethods[] = {
#include "functions.def"
};

// The module's functions are fixed: thirteen, in the table's order.
static_assert(std::size(kMethods) == kFunctionCount && kFunctionCount == 13);

}  // namespace

std::span<const PyMethodDef> function_definitions() { return kMethods; }

Result<OptionType> parse_option_type(std::string_view text) {
    if (const auto side = option_type_from_text(text)) return *side;
    return invalid_option_type();
}

}  // namespace varnelle::module
