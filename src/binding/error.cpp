#include "error.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace varnelle::binding {
namespace {

// Process-wide cell of the PanicException type; filled under the interpreter
// lock and never released.
PyObject* g_panic_type = nullptr;

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when varnelle's native code fails while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* new_type_error() { return Py_NewRef(PyExc_TypeError); }
PyObject* new_value_error() { return Py_NewRef(PyExc_ValueError); }
PyObject* new_import_error() { return Py_NewRef(PyExc_ImportError); }
PyObject* new_system_error() { return Py_NewRef(PyExc_SystemError); }
// Null, with the interpreter's error left set, when the type cannot be made.
PyObject* new_panic_type() {
    PyObject* type = create_internal_failure_type();
    return type == nullptr ? nullptr : Py_NewRef(type);
}

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

void report_failure(const std::string& message, const std::source_location& where) {
    std::fprintf(stderr, "varnelle: internal failure in thread '%s' at %s:%u:%u:\n%s\n",
                 current_thread_name().c_str(), where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
    std::fflush(stderr);
}

// repr(x) as text; a failing repr is reported as unraisable and replaced.
std::string repr_text(PyObject* x) {
    PyObject* repr = PyObject_Repr(x);
    if (repr == nullptr) {
        PyErr_WriteUnraisable(x);
        std::string text = "<unprintable object>";
        if (PyObject* name = PyType_GetName(Py_TYPE(x))) {
            text = "<unprintable " + utf8_lossy(name) + " object>";
            Py_DecRef(name);
        } else {
            PyErr_Clear();
        }
        return text;
    }
    std::string text = utf8_lossy(repr);
    Py_DecRef(repr);
    return text;
}

}  // namespace

PyErr& PyErr::operator=(PyErr&& other) noexcept {
    if (this != &other) {
        PyErr dropped(std::move(*this));
        state_ = std::exchange(other.state_, std::monostate{});
    }
    return *this;
}

PyErr::~PyErr() {
    if (auto* exception = std::get_if<PyObject*>(&state_)) Py_DecRef(*exception);
}

std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    // Lone surrogates: encode them as they stand, then decode with each invalid
    // sequence replaced by U+FFFD.
    std::string out;
    if (PyObject* raw = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass")) {
        char* bytes = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(raw, &bytes, &length) == 0) {
            if (PyObject* repaired = PyUnicode_DecodeUTF8(bytes, length, "replace")) {
                if (const char* utf8 = PyUnicode_AsUTF8AndSize(repaired, &size)) {
                    out.assign(utf8, static_cast<std::size_t>(size));
                }
                Py_DecRef(repaired);
            }
        }
        Py_DecRef(raw);
    }
    PyErr_Clear();
    return out;
}

void restore_error(PyErr&& error) {
    PyErr taken(std::move(error));
    if (auto* exception = std::get_if<PyObject*>(&taken.state_)) {
        PyErr_SetRaisedException(std::exchange(*exception, nullptr));
        return;
    }
    auto* lazy = std::get_if<PyErr::Lazy>(&taken.state_);
    if (lazy == nullptr) {
        throw_internal_failure("PyErr state should never be invalid outside of normalization");
    }
    // Running out of memory here must not take the process down: the
    // interpreter's MemoryError is then the exception the caller sees.
    PyObject* type = lazy->new_type();
    if (type == nullptr) return;
    PyObject* message =
        PyUnicode_FromStringAndSize(lazy->message.data(), static_cast<Py_ssize_t>(lazy->message.size()));
    if (message == nullptr) {
        Py_DecRef(type);
        return;
    }
    PyObject* value = message;
    if (lazy->tuple_argument) {
        value = PyTuple_New(1);
        if (value == nullptr) {
            Py_DecRef(message);
            Py_DecRef(type);
            return;
        }
        PyTuple_SetItem(value, 0, message);  // steals message
    }
    const bool is_exception_class =
        (PyType_GetFlags(Py_TYPE(type)) & Py_TPFLAGS_TYPE_SUBCLASS) != 0 &&
        (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) & Py_TPFLAGS_BASE_EXC_SUBCLASS) != 0;
    if (is_exception_class) {
        PyErr_SetObject(type, value);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    Py_DecRef(value);
    Py_DecRef(type);
}

PyObject* normalize_error(PyErr& error) {
    if (auto* exception = std::get_if<PyObject*>(&error.state_)) return *exception;
    auto state = std::exchange(error.state_, std::monostate{});
    if (std::holds_alternative<std::monostate>(state)) {
        throw_internal_failure("Cannot normalize a PyErr while already normalizing it.");
    }
    restore_error(PyErr(std::move(std::get<PyErr::Lazy>(state))));
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) throw_internal_failure("exception missing after writing to the interpreter");
    error.state_ = exception;
    return exception;
}

std::optional<PyErr> take_error() {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return std::nullopt;
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception)) != internal_failure_type()) {
        return PyErr::normalized(exception);
    }
    // Our own internal failure came back through Python code (say a __float__
    // that re-raised it): keep it a failure rather than an ordinary error.
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* text = PyObject_Str(exception)) {
        message = utf8_lossy(text);
        Py_DecRef(text);
    } else {
        PyErr_Clear();
    }
    std::fprintf(stderr,
                 "--- varnelle: an internal failure is resumed after its exception was fetched "
                 "from Python ---\nPython stack trace below:\n");
    std::fflush(stderr);
    PyErr_SetRaisedException(exception);
    PyErr_PrintEx(0);
    throw_resumed_failure(std::move(message));
}

PyErr fetch_error() {
    if (auto taken = take_error()) return std::move(*taken);
    return PyErr::lazy(new_system_error, "attempted to fetch exception but none was set");
}

void print_error(PyErr& error) {
    PyObject* exception = normalize_error(error);
    PyErr_SetRaisedException(Py_NewRef(exception));
    PyErr_PrintEx(0);
}

void api_call_failed(std::source_location where) {
    PyErr_Print();
    throw_internal_failure("Python API call failed", where);
}

PyErr wrap_in_runtime_error(PyErr cause, std::string_view text) {
    PyObject* cause_exception = normalize_error(cause);
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message == nullptr) api_call_failed();
    PyObject* runtime_error = PyObject_CallFunctionObjArgs(PyExc_RuntimeError, message, nullptr);
    Py_DecRef(message);
    if (runtime_error == nullptr) return fetch_error();
    PyException_SetCause(runtime_error, Py_NewRef(cause_exception));  // steals the new reference
    return PyErr::normalized(runtime_error);
}

std::string debug_rendering(PyErr& error) {
    PyObject* exception = normalize_error(error);
    std::string text = "PyErr { type: ";
    text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    text += ", value: ";
    text += repr_text(exception);
    text += ", traceback: ";
    if (PyObject* traceback = PyException_GetTraceback(exception)) {
        text += "Some(" + repr_text(traceback) + ")";
        Py_DecRef(traceback);
    } else {
        text += "None";
    }
    text += " }";
    return text;
}

PyObject* create_internal_failure_type() {
    if (g_panic_type != nullptr) return g_panic_type;
    PyObject* base = Py_NewRef(PyExc_BaseException);
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, base, nullptr);
    Py_DecRef(base);
    if (type == nullptr) return nullptr;
    if (g_panic_type != nullptr) {  // filled meanwhile: the first stored value wins
        Py_DecRef(type);
        return g_panic_type;
    }
    g_panic_type = type;
    return g_panic_type;
}

PyObject* internal_failure_type() {
    if (PyObject* type = create_internal_failure_type()) return type;
    PyErr error = fetch_error();
    throw_internal_failure("Failed to initialize new exception type.: " + debug_rendering(error));
}

PyObject* interned_text(PyObject*& cell, std::string_view text) {
    if (cell == nullptr) {
        PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (name == nullptr) api_call_failed();
        PyUnicode_InternInPlace(&name);
        if (cell == nullptr) {
            cell = name;
        } else {  // filled meanwhile: the first stored value wins
            Py_DecRef(name);
        }
    }
    return cell;
}

PyErr type_error(std::string message) { return PyErr::lazy(new_type_error, std::move(message)); }
PyErr value_error(std::string message) { return PyErr::lazy(new_value_error, std::move(message)); }
PyErr import_error(std::string message) { return PyErr::lazy(new_import_error, std::move(message)); }

void throw_internal_failure(std::string message, std::source_location where) {
    report_failure(message, where);
    throw InternalFailure(std::move(message), where, false);
}

void throw_resumed_failure(std::string message, std::source_location where) {
    throw InternalFailure(std::move(message), where, true);
}

namespace detail {

void abort_at_ffi_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyErr panic_error(const InternalFailure& failure) {
    return PyErr::lazy(new_panic_type, failure.message(), /*tuple_argument=*/true);
}

}  // namespace detail
}  // namespace varnelle::binding
