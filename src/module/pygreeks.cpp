#include "pygreeks.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "binding/arguments.hpp"

namespace varnelle::module {
namespace {

using binding::PyErr;
using binding::Result;

struct PyGreeksObject {
    PyObject_HEAD
    double delta;
    double gamma;
    double theta;
    double vega;
    double rho;
    Py_ssize_t access_count;  // non-zero only while a slot is reading the object
};

// Process-wide cell; one strong reference once created, never released.
PyObject* g_type = nullptr;

// Holds the object and marks it in use for the duration of a read.
class AccessGuard {
public:
    explicit AccessGuard(PyObject* self) : self_(reinterpret_cast<PyGreeksObject*>(self)) {
        ++self_->access_count;
        Py_IncRef(self);
    }
    ~AccessGuard() {
        --self_->access_count;
        Py_DecRef(reinterpret_cast<PyObject*>(self_));
    }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    const PyGreeksObject& get() const { return *self_; }

private:
    PyGreeksObject* self_;
};

// One getter for all five fields; the closure is the field's offset.
PyObject* get_field(PyObject* self, void* closure) {
    return binding::run_contained([&]() -> Result<PyObject*> {
        AccessGuard guard(self);
        const auto offset = reinterpret_cast<std::size_t>(closure);
        double value;
        std::memcpy(&value, reinterpret_cast<const char*>(&guard.get()) + offset, sizeof value);
        return binding::new_float(value);
    });
}

void* field(std::size_t offset) { return reinterpret_cast<void*>(offset); }

char kEmptyDoc[] = "";

PyGetSetDef kGetSet[] = {
    {"delta", get_field, nullptr, kEmptyDoc, field(offsetof(PyGreeksObject, delta))},
    {"gamma", get_field, nullptr, kEmptyDoc, field(offsetof(PyGreeksObject, gamma))},
    {"theta", get_field, nullptr, kEmptyDoc, field(offsetof(PyGreeksObject, theta))},
    {"vega", get_field, nullptr, kEmptyDoc, field(offsetof(PyGreeksObject, vega))},
    {"rho", get_field, nullptr, kEmptyDoc, field(offsetof(PyGreeksObject, rho))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* pygreeks_repr(PyObject* self) {
    return binding::run_contained([&]() -> Result<PyObject*> {
        AccessGuard guard(self);
        const PyGreeksObject& g = guard.get();
        std::string text = "Greeks(delta=" + format_fixed6(g.delta) +
                           ", gamma=" + format_fixed6(g.gamma) +
                           ", theta=" + format_fixed6(g.theta) +
                           ", vega=" + format_fixed6(g.vega) + ", rho=" + format_fixed6(g.rho) + ")";
        PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (result == nullptr) binding::api_call_failed();
        return result;
    });
}

PyObject* no_constructor(PyTypeObject* subtype, PyObject*, PyObject*) {
    return binding::run_contained([&]() -> Result<PyObject*> {
        std::string name = "<unknown>";
        if (PyObject* type_name = PyType_GetName(subtype)) {
            name = binding::display_text(type_name);
            Py_DecRef(type_name);
        } else {
            (void)binding::fetch_error();
        }
        return binding::type_error("No constructor defined for " + name);
    });
}

void pygreeks_dealloc(PyObject* self) {
    binding::run_contained_unraisable([&] {
        PyTypeObject* type = Py_TYPE(self);
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        // The generic allocator took a reference to this heap type.
        Py_DecRef(reinterpret_cast<PyObject*>(type));
    });
}

char kTypeDoc[] = "Container for all option Greeks returned to Python";

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(pygreeks_dealloc)},
    {Py_tp_doc, kTypeDoc},
    {Py_tp_repr, reinterpret_cast<void*>(pygreeks_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};

// The class names no module, so the interpreter files it under "builtins".
PyType_Spec kSpec = {
    "builtins.PyGreeks",
    static_cast<int>(sizeof(PyGreeksObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

static_assert(sizeof(void*) != 8 || sizeof(PyGreeksObject) == 64);

}  // namespace

Result<PyObject*> pygreeks_type_object() {
    if (g_type != nullptr) return g_type;
    PyObject* type = PyType_FromSpec(&kSpec);
    if (type == nullptr) {
        return binding::wrap_in_runtime_error(binding::fetch_error(),
                                              "An error occurred while initializing class PyGreeks");
    }
    if (g_type != nullptr) {  // filled meanwhile: the first stored type wins
        Py_DecRef(type);
        return g_type;
    }
    g_type = type;
    return g_type;
}

PyObject* create_pygreeks(const Greeks& greeks) {
    auto type_result = pygreeks_type_object();
    if (!type_result.ok()) {
        binding::print_error(type_result.error());
        binding::throw_internal_failure("failed to create type object for PyGreeks");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(type_result.value());
    // Python code cannot change a type's allocator, so it is looked up once.
    static allocfunc alloc = nullptr;
    if (alloc == nullptr) {
        alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
    }
    PyObject* object = alloc(type, 0);
    if (object == nullptr) {
        PyErr error = binding::fetch_error();
        binding::throw_internal_failure("called `Result::unwrap()` on an `Err` value: " +
                                        binding::debug_rendering(error));
    }
    auto* g = reinterpret_cast<PyGreeksObject*>(object);
    g->delta = greeks.delta;
    g->gamma = greeks.gamma;
    g->theta = greeks.theta;
    g->vega = greeks.vega;
    g->rho = greeks.rho;
    g->access_count = 0;
    return object;
}

std::string format_fixed6(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    // The largest double has 309 integer digits; sign, point and six decimals fit too.
    char buffer[400];
    const double magnitude = std::fabs(x);
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::fixed, 6);
    (void)ec;
    std::string text = std::signbit(x) ? "-" : "";
    text.append(buffer, end);
    return text;
}

}  // namespace varnelle::module
