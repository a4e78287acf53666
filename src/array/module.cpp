// varnelle_np._ufuncs: the ufuncs of the array module, one per row of
// functions.def, over the same pricing kernels as the scalar module, plus the
// list of those rows and the helpers the Python layer needs for option_type
// and workers=. PyInit__ufuncs is the only exported symbol.
#define VARNELLE_NUMPY_IMPORT
#include "array/numpy.hpp"

#include <array>
#include <new>
#include <string>
#include <string_view>

#include "array/european_kernels.hpp"
#include "array/interrupt.hpp"
#include "array/kernels.hpp"
#include "array/loops.hpp"
#include "array/schedule_loops.hpp"
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
#include "pricing/math/simd_target.hpp"
#include "pricing/math/vector_path.hpp"
#include "pricing/dividends/dividend_model.hpp"

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
    const char* function;         // the Python function the ufunc serves
    const char* model;            // the model it computes
    std::string_view keywords;    // the keywords its trailing operands come from
    const char* summary;
    std::string_view parameters;  // its shape's numbers before the side
    bool side;
    int inputs;
    int outputs;
    PyUFuncGenericFunction loop;
    char* types;
    const char* signature;        // a generalized ufunc's, or null for an elementwise one
};

template <class Base, std::size_t Trailing, class Kernel, int CostNs>
constexpr UfuncRow row(const char* name, const char* function, const char* model, std::string_view keywords,
                       const char* summary) {
    using Shape = WithTrailing<Base, Trailing>;
    // Rows that carry a schedule of dividends are generalized ufuncs over it.
    constexpr bool schedule = kScheduleKernel<Kernel>;
    PyUFuncGenericFunction loop = nullptr;
    const char* signature = nullptr;
    if constexpr (schedule) {
        loop = schedule_loop<Shape, Kernel, CostNs>;
        signature = kScheduleSignature<Shape>.data();
    } else {
        loop = ufunc_loop<Shape, Kernel, CostNs>;
    }
    return {name,
            function,
            model,
            keywords,
            summary,
            Base::kParameters,
            Shape::kSide,
            static_cast<int>(Shape::kInputs),
            static_cast<int>(Shape::kOutputs),
            loop,
            g_types<Shape>.data(),
            signature};
}

// A model row names its function, whose shape it shares.
namespace shape_of {
#define VARNELLE_ARRAY(name, shape, model, default_model, keywords, kernel, cost_ns, summary) using name = shape;
#define VARNELLE_BOTH(name, shape, model, default_model, keywords, kernel, cost_ns, summary, scalar, scalar_doc) \
    using name = shape;
#include "functions.def"
}  // namespace shape_of

#define VARNELLE_ARRAY(name, shape, model, default_model, keywords, kernel, cost_ns, summary) \
    row<shape, keyword_operands(keywords), kernel, cost_ns>(#name, #name, #model, keywords, summary),
#define VARNELLE_BOTH(name, shape, model, default_model, keywords, kernel, cost_ns, summary, scalar, scalar_doc) \
    VARNELLE_ARRAY(name, shape, model, default_model, keywords, kernel, cost_ns, summary)
#define VARNELLE_MODEL(name, function, model, keywords, kernel, cost_ns, summary) \
    row<shape_of::function, keyword_operands(keywords), kernel, cost_ns>(#name, #function, #model, keywords, summary),
const UfuncRow kUfuncs[] = {
#include "functions.def"
};

// The ufunc's docstring: the summary and its operands, which differ from the
// Python function's parameters where there is a side.
std::string ufunc_doc(const UfuncRow& r) {
    std::string names;
    const auto add = [&](std::string_view name) {
        if (!names.empty()) names += ", ";
        names += name;
    };
    for_each_name(r.parameters, add);
    if (r.side) add("put");
    for_each_name(r.keywords, [&](std::string_view keyword) {
        // A keyword of two operands is a schedule along the core dimension.
        if (keyword_operands(keyword) == 2) {
            add("times (n)");
            add("amounts (n)");
        } else {
            add(keyword);
        }
    });
    return std::string(r.summary) + " Operands (" + names + (r.side ? "); put is True for a put." : ").");
}

// NumPy keeps the docstrings' pointers for the life of the process.
const std::array<std::string, std::size(kUfuncs)>& ufunc_docs() {
    static const auto docs = [] {
        std::array<std::string, std::size(kUfuncs)> all;
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = ufunc_doc(kUfuncs[i]);
        return all;
    }();
    return docs;
}

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

// The path the European ufuncs take, and why: a dict for show_config().
// Asking decides the path if no European call has yet, and the proof may
// take a few tens of milliseconds: it runs without the interpreter lock.
PyObject* vector_config(PyObject*, PyObject*) {
    const VectorPathChoice* choice = nullptr;
    PyThreadState* state = PyEval_SaveThread();
    try {
        choice = &vector_path_choice();
    } catch (const std::bad_alloc&) {
    }
    PyEval_RestoreThread(state);
    if (choice == nullptr) return PyErr_NoMemory();
    const int forced = g_forced_path.load(std::memory_order_relaxed);
    PyObject* forced_name = forced == kNoForcedPath
                             ? Py_NewRef(Py_None)
                             : PyUnicode_FromString(vector_path_name(static_cast<VectorPath>(forced)));
    if (forced_name == nullptr) return nullptr;
    const auto flag = [](bool value) { return value ? Py_True : Py_False; };
    return Py_BuildValue("{s:s,s:s,s:d,s:O,s:{s:O,s:O},s:N}", "path", vector_path_name(choice->path),
                         "description", choice->description.c_str(), "proof_ms", choice->proof_ms, "lanes_built",
                         flag(VARNELLE_HAVE_LANES != 0), "processor", "avx2",
                         flag(vector_path_supported(VectorPath::Avx2)), "avx512",
                         flag(vector_path_supported(VectorPath::Avx512)), "test_override", forced_name);
}

// For the tests: run the European ufuncs on one path ("scalar", "avx2",
// "avx512") whatever the process chose, or on the process's choice again
// (None). A lane path is taken only where the processor has it and its exp,
// log and pow(e, y) pass the same proof the process's choice passed.
PyObject* force_vector_path(PyObject*, PyObject* name) {
    int path = kNoForcedPath;
    if (name != Py_None) {
        const char* text = PyUnicode_AsUTF8AndSize(name, nullptr);
        if (text == nullptr) return nullptr;
        const std::string_view wanted(text);
        bool known = false;
        for (const VectorPath p : {VectorPath::Scalar, VectorPath::Avx2, VectorPath::Avx512}) {
            if (wanted == vector_path_name(p)) {
                path = static_cast<int>(p);
                known = true;
            }
        }
        if (!known) {
            PyErr_Format(PyExc_ValueError, "no vector path is called %R", name);
            return nullptr;
        }
        const auto chosen = static_cast<VectorPath>(path);
        if (!vector_path_supported(chosen)) {
            PyErr_Format(PyExc_ValueError, "this processor cannot run the %s path", text);
            return nullptr;
        }
        if (chosen != VectorPath::Scalar) {
            std::string failure;
            PyThreadState* state = PyEval_SaveThread();
            try {
                failure = lanes::prove_against_platform(chosen);
            } catch (const std::bad_alloc&) {
                failure = "out of memory";
            }
            PyEval_RestoreThread(state);
            if (!failure.empty()) {
                PyErr_Format(PyExc_ValueError, "the %s path fails its proof: %s", text, failure.c_str());
                return nullptr;
            }
        }
    }
    const int previous = g_forced_path.exchange(path, std::memory_order_relaxed);
    if (previous == kNoForcedPath) Py_RETURN_NONE;
    return PyUnicode_FromString(vector_path_name(static_cast<VectorPath>(previous)));
}

PyMethodDef g_methods[] = {
    {"parse_sides", parse_sides, METH_O,
     "parse_sides(texts, /)\n--\n\nRead a C-contiguous array of str or objects into (puts, first_bad)."},
    {"side_of", side_of, METH_O, "side_of(text, /)\n--\n\nTrue for a put, False for a call."},
    {"set_workers", set_workers_entry, METH_O,
     "set_workers(n, /)\n--\n\nThreads the ufuncs of this thread may use; returns the previous value."},
    {"vector_config", vector_config, METH_NOARGS,
     "vector_config()\n--\n\nThe European ufuncs' path and why, as a dict (deciding it if no call has yet)."},
    {"force_vector_path", force_vector_path, METH_O,
     "force_vector_path(name, /)\n--\n\nFor the tests: the European ufuncs' path, or None for the process's "
     "choice; returns the previous one."},
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

// `table`: the (ufunc, function, model, keywords) of every row, in
// registration order, which the generated Python layer checks its own rows
// against at import.
int add_table(PyObject* module) {
    PyObject* table = PyTuple_New(static_cast<Py_ssize_t>(std::size(kUfuncs)));
    if (table == nullptr) return -1;
    for (std::size_t i = 0; i < std::size(kUfuncs); ++i) {
        const UfuncRow& r = kUfuncs[i];
        PyObject* entry = Py_BuildValue("(sssN)", r.name, r.function, r.model,
                                        PyUnicode_FromStringAndSize(r.keywords.data(),
                                                                    static_cast<Py_ssize_t>(r.keywords.size())));
        if (entry == nullptr || PyTuple_SetItem(table, static_cast<Py_ssize_t>(i), entry) < 0) {
            Py_DecRef(table);
            return -1;
        }
    }
    const int added = PyModule_AddObjectRef(module, "table", table);
    Py_DecRef(table);
    return added;
}

int add_ufuncs(PyObject* module) {
    const std::array<std::string, std::size(kUfuncs)>* docs = nullptr;
    try {
        docs = &ufunc_docs();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    for (std::size_t i = 0; i < std::size(kUfuncs); ++i) {
        const UfuncRow& row = kUfuncs[i];
        g_loops[i] = row.loop;
        g_data[i] = nullptr;
        PyObject* ufunc = PyUFunc_FromFuncAndDataAndSignature(&g_loops[i], &g_data[i], row.types, 1, row.inputs,
                                                              row.outputs, PyUFunc_None, row.name,
                                                              (*docs)[i].c_str(), 0, row.signature);
        if (ufunc == nullptr) return -1;
        const int added = PyModule_AddObjectRef(module, row.name, ufunc);
        Py_DecRef(ufunc);
        if (added < 0) return -1;
    }
    return add_table(module);
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
