// The module as the interpreter sees it: PyInit_varnelle (the only exported
// symbol), single-phase initialisation cached for the life of the process,
// and the registration of the thirteen functions and the PyGreeks class.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "functions.hpp"
#include "pygreeks.hpp"

namespace varnelle::module {
namespace {

using binding::PyErr;
using binding::Result;

constexpr const char kModuleDoc[] =
    "Python module for option pricing Greeks calculations.\n"
    "\n"
    "This module provides functions for calculating option Greeks using:\n"
    "- Black-Scholes model (European options): bs_* functions\n"
    "- Bjerksund-Stensland model (American options): am_* functions";

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "varnelle",
    kModuleDoc,
    0,        // no per-module state
    nullptr,  // functions are added by populate_module
    nullptr,  // single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide state, never reset. Only the interpreter ID is atomic; the
// rest is touched with the interpreter lock held.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;
PyObject* g_name_key = nullptr;
PyObject* g_all_key = nullptr;

// The module's __all__ list (new reference), created when absent.
Result<PyObject*> module_all_list(PyObject* module) {
    PyObject* all_key = binding::interned_text(g_all_key, "__all__");
    if (PyObject* list = PyObject_GetAttr(module, all_key)) return list;
    PyErr error = binding::fetch_error();
    if (!PyErr_GivenExceptionMatches(binding::normalize_error(error), PyExc_AttributeError)) {
        return error;
    }
    PyObject* list = PyList_New(0);
    if (list == nullptr) binding::api_call_failed();
    if (PyObject_SetAttr(module, all_key, list) < 0) {
        Py_DecRef(list);
        return binding::fetch_error();
    }
    return list;
}

// Appends name to __all__ and binds value under it.
std::optional<PyErr> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    auto all = module_all_list(module);
    if (!all.ok()) return std::move(all.error());
    const int appended = PyList_Append(all.value(), name);
    Py_DecRef(all.value());
    if (appended < 0) {
        PyErr error = binding::fetch_error();
        binding::throw_internal_failure("could not append __name__ to __all__: " +
                                        binding::debug_rendering(error));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return binding::fetch_error();
    return std::nullopt;
}

// The function objects point at their records for the life of the process,
// so each registration copies its record into storage that is never freed. A
// failed import may be retried, hence room for more than one set.
constexpr std::size_t kRecordCapacity = 4 * kFunctionCount;
PyMethodDef g_records[kRecordCapacity];
std::size_t g_records_used = 0;

PyMethodDef* keep_record(const PyMethodDef& definition) {
    if (g_records_used == kRecordCapacity) {
        binding::throw_internal_failure("no room left for method records");
    }
    g_records[g_records_used] = definition;
    return &g_records[g_records_used++];
}

Result<PyObject*> create_function(PyObject* module, const PyMethodDef& definition) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return binding::fetch_error();
    PyMethodDef* record = keep_record(definition);
    PyObject* function = PyCMethod_New(record, module, module_name, nullptr);
    Py_DecRef(module_name);
    if (function == nullptr) return binding::fetch_error();
    return function;
}

std::optional<PyErr> add_function(PyObject* module, const PyMethodDef& definition) {
    auto function = create_function(module, definition);
    if (!function.ok()) return std::move(function.error());
    std::optional<PyErr> error;
    if (PyObject* name = PyObject_GetAttr(function.value(), binding::interned_text(g_name_key, "__name__"))) {
        if (PyType_GetFlags(Py_TYPE(name)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
            error = add_to_module(module, name, function.value());
        } else {
            error = binding::type_error("function __name__ is not a str");
        }
        Py_DecRef(name);
    } else {
        error = binding::fetch_error();
    }
    Py_DecRef(function.value());
    return error;
}

std::optional<PyErr> add_class(PyObject* module) {
    auto type = pygreeks_type_object();
    if (!type.ok()) return std::move(type.error());
    PyObject* name = PyUnicode_FromStringAndSize("PyGreeks", 8);
    if (name == nullptr) binding::api_call_failed();
    auto error = add_to_module(module, name, type.value());
    Py_DecRef(name);
    return error;
}

std::optional<PyErr> populate_module(PyObject* module) {
    for (const PyMethodDef& definition : function_definitions()) {
        if (auto error = add_function(module, definition)) return error;
    }
    return add_class(module);
}

Result<PyObject*> obtain_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return binding::fetch_error();
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        return binding::import_error(
            "varnelle does not yet support subinterpreters, see "
            "https://docs.python.org/3/c-api/init.html#sub-interpreter-support");
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    PyObject* module = PyModule_Create2(&g_definition, PYTHON_ABI_VERSION);
    if (module == nullptr) return binding::fetch_error();
    if (auto error = populate_module(module)) {
        Py_DecRef(module);  // the cache stays empty: a later import starts afresh
        return std::move(*error);
    }
    if (g_module != nullptr) {
        Py_DecRef(module);
    } else {
        g_module = module;
    }
    return Py_NewRef(g_module);
}

}  // namespace
}  // namespace varnelle::module

PyMODINIT_FUNC PyInit_varnelle() {
    return varnelle::binding::run_contained([] { return varnelle::module::obtain_module(); });
}
