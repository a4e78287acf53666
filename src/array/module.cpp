// varnelle_np._ufuncs: the ufuncs of the array module, one table row each,
// over the same pricing kernels as the scalar module, plus the helpers the
// Python layer needs for option_type and workers=. PyInit__ufuncs is the only
// exported symbol.
#define VARNELLE_NUMPY_IMPORT
#include "array/numpy.hpp"

#include <array>

#include "array/interrupt.hpp"
#include "array/loops.hpp"
#include "array/sides.hpp"
#include "array/workers.hpp"
#include "pricing/american.hpp"
#include "pricing/black_scholes.hpp"
#include "pricing/european.hpp"
#include "pricing/implied_volatility.hpp"
#include "pricing/option_type.hpp"

namespace varnelle::array {
namespace {

constexpr char D = NPY_DOUBLE;
constexpr char B = NPY_BOOL;

// Operand types: six doubles and the side (True for a put) in, doubles out.
char g_sided[] = {D, D, D, D, D, D, B, D};
char g_sideless[] = {D, D, D, D, D, D, D};
char g_sided_greeks[] = {D, D, D, D, D, D, B, D, D, D, D, D};

struct UfuncRow {
    const char* name;
    const char* doc;
    int inputs;  // operands before the outputs, the side included
    int outputs;
    PyUFuncGenericFunction loop;
    char* types;
};

template <double (*F)(const OptionInputs&, OptionType), int CostNs>
constexpr PyUFuncGenericFunction kSided = ufunc_loop<walk_rows<6, true, 1, sided<F>>, CostNs>;
template <double (*F)(const OptionInputs&), int CostNs>
constexpr PyUFuncGenericFunction kSideless = ufunc_loop<walk_rows<6, false, 1, sideless<F>>, CostNs>;
template <Greeks (*F)(const OptionInputs&, OptionType), int CostNs>
constexpr PyUFuncGenericFunction kGreeks = ufunc_loop<walk_rows<6, true, 5, all_greeks<F>>, CostNs>;
template <double (*F)(double, double, double, double, double, double, OptionType), int CostNs>
constexpr PyUFuncGenericFunction kImplied = ufunc_loop<walk_rows<6, true, 1, implied<F>>, CostNs>;
// The European operations that read the normal distribution, in batches.
template <class Op, int CostNs>
constexpr PyUFuncGenericFunction kBatched = ufunc_loop<walk_batches<Op>, CostNs>;

#define VARNELLE_SIDED_DOC(what) what " of each row of (s, k, t, r, sigma, q, put); put is True for a put."
#define VARNELLE_SIDELESS_DOC(what) what " of each row of (s, k, t, r, sigma, q), the same for calls and puts."

// Per-row costs are rough figures for deciding when threads pay off.
const UfuncRow kUfuncs[] = {
    {"bs_price", VARNELLE_SIDED_DOC("European price"), 7, 1, kBatched<EuropeanPrice, 40>, g_sided},
    {"bs_delta", VARNELLE_SIDED_DOC("European delta"), 7, 1, kBatched<BlackScholesDelta, 30>, g_sided},
    {"bs_gamma", VARNELLE_SIDELESS_DOC("European gamma"), 6, 1, kSideless<black_scholes_gamma, 30>, g_sideless},
    {"bs_theta", VARNELLE_SIDED_DOC("European theta per calendar day"), 7, 1,
     kBatched<BlackScholesTheta, 50>, g_sided},
    {"bs_vega", VARNELLE_SIDELESS_DOC("European vega per 1.0 of volatility"), 6, 1,
     kSideless<black_scholes_vega, 30>, g_sideless},
    {"bs_rho", VARNELLE_SIDED_DOC("European rho per 1% of rate"), 7, 1, kBatched<BlackScholesRho, 30>, g_sided},
    {"bs_greeks", VARNELLE_SIDED_DOC("European delta, gamma, theta, vega and rho"), 7, 5,
     kBatched<BlackScholesGreeks, 70>, g_sided_greeks},
    {"am_price", VARNELLE_SIDED_DOC("American price"), 7, 1, kSided<american_price, 500>, g_sided},
    {"am_delta", VARNELLE_SIDED_DOC("American delta"), 7, 1, kSided<american_delta, 1000>, g_sided},
    {"am_gamma", VARNELLE_SIDED_DOC("American gamma"), 7, 1, kSided<american_gamma, 1500>, g_sided},
    {"am_theta", VARNELLE_SIDED_DOC("American theta over one calendar day"), 7, 1,
     kSided<american_theta, 1000>, g_sided},
    {"am_vega", VARNELLE_SIDED_DOC("American vega per 1.0 of volatility"), 7, 1, kSided<american_vega, 1000>,
     g_sided},
    {"am_rho", VARNELLE_SIDED_DOC("American rho per 1% of rate"), 7, 1, kSided<american_rho, 1000>, g_sided},
    {"am_greeks", VARNELLE_SIDED_DOC("American delta, gamma, theta, vega and rho"), 7, 5,
     kGreeks<american_greeks, 4000>, g_sided_greeks},
    {"bs_implied_vol",
     "Volatility at which bs_price gives price, for each row of (price, s, k, t, r, q, put); "
     "NaN where no volatility does.",
     7, 1, kImplied<european_implied_vol, 400>, g_sided},
    {"am_implied_vol",
     "Volatility at which am_price gives price, for each row of (price, s, k, t, r, q, put); "
     "NaN where no volatility, or a whole range of them, does.",
     7, 1, kImplied<american_implied_vol, 2000>, g_sided},
};

// NumPy keeps pointers to the loop and data lists: they live as long as the
// process.
std::array<PyUFuncGenericFunction, std::size(kUfuncs)> g_loops;
std::array<void*, std::size(kUfuncs)> g_data;

PyObject* set_workers_entry(PyObject*, PyObject* value) {
    const long workers = PyLong_AsLong(value);
    if (workers == -1 && PyErr_Occurred()) return nullptr;
    if (workers < 1 || workers > kMaxWorkers) {
        PyErr_Format(PyExc_ValueError, "workers must lie between 1 and %d here", kMaxWorkers);
        return nullptr;
    }
    return PyLong_FromLong(set_workers(static_cast<int>(workers)));
}

PyMethodDef g_methods[] = {
    {"parse_sides", parse_sides, METH_O,
     "parse_sides(texts, /)\n--\n\nRead a C-contiguous array of str or objects into (puts, first_bad)."},
    {"side_of", side_of, METH_O, "side_of(text, /)\n--\n\nTrue for a put, False for a call."},
    {"set_workers", set_workers_entry, METH_O,
     "set_workers(n, /)\n--\n\nThreads the ufuncs of this thread may use; returns the previous value."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "varnelle_np._ufuncs",
    "The ufuncs behind varnelle_np and the helpers of its Python layer.",
    -1,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int add_ufuncs(PyObject* module) {
    for (std::size_t i = 0; i < std::size(kUfuncs); ++i) {
        const UfuncRow& row = kUfuncs[i];
        g_loops[i] = row.loop;
        g_data[i] = nullptr;
        PyObject* ufunc = PyUFunc_FromFuncAndData(&g_loops[i], &g_data[i], row.types, 1, row.inputs, row.outputs,
                                                  PyUFunc_None, row.name, row.doc, 0);
        if (ufunc == nullptr) return -1;
        const int added = PyModule_AddObjectRef(module, row.name, ufunc);
        Py_DecRef(ufunc);
        if (added < 0) return -1;
    }
    return 0;
}

}  // namespace
}  // namespace varnelle::array

PyMODINIT_FUNC PyInit__ufuncs() {
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    if (_import_umath() < 0) return nullptr;
    PyObject* module = PyModule_Create(&varnelle::array::g_definition);
    if (module == nullptr) return nullptr;
    // The rules the Python layer words its messages and bounds from.
    if (varnelle::array::add_ufuncs(module) < 0 ||
        PyModule_AddStringConstant(module, "INVALID_OPTION_TYPE", varnelle::kInvalidOptionType) < 0 ||
        PyModule_AddIntConstant(module, "MAX_WORKERS", varnelle::array::kMaxWorkers) < 0 ||
        varnelle::array::remember_main_thread() < 0) {
        Py_DecRef(module);
        return nullptr;
    }
    return module;
}
