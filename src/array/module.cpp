// varnelle_np._ufuncs: the ufuncs of the array module, one per row of
// functions.def, over the same pricing kernels as the scalar module, plus the
// table of them and the helpers the Python layer needs for option_type and
// workers=. PyInit__ufuncs is the only
// exported symbol.
#define VARNELLE_NUMPY_IMPORT
#include "array/numpy.hpp"

#include <array>

#include "array/interrupt.hpp"
#include "array/kernels.hpp"
#include "array/loops.hpp"
#include "array/sides.hpp"
#include "array/workers.hpp"
#include "function_shape.hpp"
#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/american/integral/integral_model.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/american/bs2002/implied_vol.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/core/option_type.hpp"

namespace varnelle::array {
namespace {

// NumPy's operand types for a shape: doubles, the side as a boolean.
template <class Shape>
constexpr std::array<char, Shape::kOperands> operand_types() {
    std::array<char, Shape::kOperands> types{};
    for (std::size_t i = 0; i < Shape::kOperands; ++i) types[i] = NPY_DOUBLE;
    if (Shape::kSide) types[Shape::kNumbers] = NPY_BOOL;
    return types;
}

// NumPy keeps pointers to each ufunc's loop, data and type lists for the
// life of the process: they are static.
template <class Shape>
constinit std::array<char, Shape::kOperands> g_types = operand_types<Shape>();

struct UfuncRow {
    const char* name;
    const char* doc;         // the ufunc's: the summary and its operands
    const char* summary;     // the first line of the Python function's docstring
    const char* parameters;  // the Python function's parameters
    const char* keywords;    // and its keyword-only ones
    const char* function;    // the Python function a model's ufunc serves, or null
    const char* model;       // that model's name
    int inputs;
    int outputs;
    PyUFuncGenericFunction loop;
    char* types;
};

template <class Shape, class Kernel, int CostNs>
constexpr UfuncRow row(const char* name, const char* doc, const char* summary, const char* function = nullptr,
                       const char* model = nullptr) {
    return {name,
            doc,
            summary,
            Shape::kParameters,
            Shape::kKeywords,
            function,
            model,
            static_cast<int>(Shape::kInputs),
            static_cast<int>(Shape::kOutputs),
            ufunc_loop<Shape, Kernel, CostNs>,
            g_types<Shape>.data()};
}

// The ufunc's docstring names its operands, which differ from the Python
// function's parameters where there is a side.
#define VARNELLE_OPERANDS_Sided " Operands (s, k, t, r, sigma, q, put); put is True for a put."
#define VARNELLE_OPERANDS_Sideless " Operands (s, k, t, r, sigma, q)."
#define VARNELLE_OPERANDS_SidedGreeks VARNELLE_OPERANDS_Sided
#define VARNELLE_OPERANDS_Implied " Operands (price, s, k, t, r, q, put); put is True for a put."
#define VARNELLE_OPERANDS_SidedTol " Operands (s, k, t, r, sigma, q, put, tol); put is True for a put."
#define VARNELLE_OPERANDS_SidedGreeksTol VARNELLE_OPERANDS_SidedTol
#define VARNELLE_OPERANDS_ImpliedTol " Operands (price, s, k, t, r, q, put, tol); put is True for a put."
#define VARNELLE_OPERANDS_Boundary " Operands (k, t, r, sigma, q, put, tol); put is True for a put."
#define VARNELLE_ARRAY(name, shape, kernel, cost_ns, summary) \
    row<shape, kernel, cost_ns>(#name, summary VARNELLE_OPERANDS_##shape, summary),
#define VARNELLE_BOTH(name, shape, kernel, cost_ns, summary, scalar, scalar_doc) \
    VARNELLE_ARRAY(name, shape, kernel, cost_ns, summary)
#define VARNELLE_MODEL(name, function, model, shape, kernel, cost_ns, summary) \
    row<shape, kernel, cost_ns>(#name, summary VARNELLE_OPERANDS_##shape, summary, #function, #model),
const UfuncRow kUfuncs[] = {
#include "functions.def"
};
#undef VARNELLE_ARRAY
#undef VARNELLE_BOTH
#undef VARNELLE_MODEL

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

// The Python layer's lists, in registration order: `functions`, the
// (name, parameters, keyword-only parameters, summary) of each function, and
// `models`, the (ufunc, function, model) of each further model of one.
int add_function_tables(PyObject* module) {
    PyObject* functions = PyList_New(0);
    PyObject* models = PyList_New(0);
    int status = functions != nullptr && models != nullptr ? 0 : -1;
    for (const UfuncRow& r : kUfuncs) {
        if (status < 0) break;
        PyObject* entry = r.function == nullptr ? Py_BuildValue("(ssss)", r.name, r.parameters, r.keywords, r.summary)
                                                : Py_BuildValue("(sss)", r.name, r.function, r.model);
        if (entry == nullptr) {
            status = -1;
            break;
        }
        status = PyList_Append(r.function == nullptr ? functions : models, entry);
        Py_DecRef(entry);
    }
    if (status == 0) status = PyModule_AddObjectRef(module, "functions", functions);
    if (status == 0) status = PyModule_AddObjectRef(module, "models", models);
    Py_DecRef(functions);  // either may be null: Py_DecRef ignores it
    Py_DecRef(models);
    return status;
}

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
    return add_function_tables(module);
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
