// Python errors as C++ values, internal failures as C++ exceptions, and the
// containment wrappers that keep every C++ exception out of the interpreter.
//
// Ordinary errors (bad arguments, bad option text) travel as PyErr values and
// become the interpreter's current exception only when an entry returns.
// Broken invariants are thrown as InternalFailure and surface in Python as
// PanicException, a BaseException subclass.
#pragma once

#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "python.hpp"

namespace varnelle::binding {

// One pending Python error, owned and move-only.
class PyErr {
public:
    // Exception type and message, instantiated only when raised. When
    // tuple_argument is set the interpreter receives (message,) instead of
    // message itself.
    struct Lazy {
        PyObject* (*new_type)();  // returns a new reference to the exception type
        std::string message;
        bool tuple_argument = false;
    };

    static PyErr lazy(PyObject* (*new_type)(), std::string message, bool tuple_argument = false) {
        return PyErr(Lazy{new_type, std::move(message), tuple_argument});
    }
    // Takes ownership of a strong reference to an exception instance.
    static PyErr normalized(PyObject* exception) { return PyErr(exception); }

    PyErr(PyErr&& other) noexcept : state_(std::exchange(other.state_, std::monostate{})) {}
    PyErr& operator=(PyErr&& other) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    // Forgets the exception without releasing it: for a thread that the
    // interpreter ends at shutdown, which unwinds without holding the
    // interpreter lock and so must not touch reference counts.
    void abandon() noexcept { state_ = std::monostate{}; }

private:
    explicit PyErr(Lazy lazy) : state_(std::move(lazy)) {}
    explicit PyErr(PyObject* exception) : state_(exception) {}

    // monostate: the empty state, seen only while normalising.
    std::variant<std::monostate, Lazy, PyObject*> state_;

    friend void restore_error(PyErr&& error);
    friend PyObject* normalize_error(PyErr& error);
};

// The error side of a fallible operation.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(PyErr error) : v_(std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    T& value() noexcept { return *std::get_if<0>(&v_); }
    PyErr& error() noexcept { return *std::get_if<1>(&v_); }

private:
    std::variant<T, PyErr> v_;
};

// Reports the failure on standard error (thread, location, message), then throws.
[[noreturn, gnu::cold, gnu::noinline]] void throw_internal_failure(
    std::string message, std::source_location where = std::source_location::current());
// A failure that already went through Python once; reported there, so not again.
[[noreturn, gnu::cold, gnu::noinline]] void throw_resumed_failure(
    std::string message, std::source_location where = std::source_location::current());

// Thrown for broken invariants; only the containment wrappers catch it.
class InternalFailure {
public:
    const std::string& message() const noexcept { return message_; }
    bool resumed() const noexcept { return resumed_; }

private:
    InternalFailure(std::string message, std::source_location where, bool resumed)
        : message_(std::move(message)), where_(where), resumed_(resumed) {}

    std::string message_;
    std::source_location where_;
    bool resumed_;

    friend void throw_internal_failure(std::string, std::source_location);
    friend void throw_resumed_failure(std::string, std::source_location);
};


// Makes the error the interpreter's current exception.
void restore_error(PyErr&& error);
// The exception instance (borrowed from the error, which is left normalised).
PyObject* normalize_error(PyErr& error);
// The current exception, cleared, or an empty optional. A PanicException of
// this module coming back through Python code is resumed as InternalFailure.
std::optional<PyErr> take_error();
// take_error, or a SystemError when nothing was set.
[[gnu::cold]] PyErr fetch_error();
// Prints the error and its traceback to standard error (without sys.last_*).
[[gnu::cold]] void print_error(PyErr& error);
// For object creations treated as impossible: prints the pending error and
// throws InternalFailure "Python API call failed".
[[noreturn, gnu::cold, gnu::noinline]] void api_call_failed(
    std::source_location where = std::source_location::current());
// A new float; the interpreter failing to make one is an internal failure.
inline PyObject* new_float(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) [[unlikely]] api_call_failed();
    return result;
}
// The interned str of `text` held in a process-wide cell, made on first use
// and never released.
PyObject* interned_text(PyObject*& cell, std::string_view text);
// RuntimeError(text) whose __cause__ is the exception of `cause`.
[[gnu::cold]] PyErr wrap_in_runtime_error(PyErr cause, std::string_view text);
// "PyErr { type: ..., value: ..., traceback: ... }", for failure messages.
[[gnu::cold]] std::string debug_rendering(PyErr& error);
// The PanicException type (borrowed), created on first use.
PyObject* internal_failure_type();
// The same, but null with the interpreter's error set when it cannot be made.
PyObject* create_internal_failure_type();

// Typed error constructors for the exception kinds this module raises.
[[gnu::cold]] PyErr type_error(std::string message);
[[gnu::cold]] PyErr value_error(std::string message);
[[gnu::cold]] PyErr import_error(std::string message);

// UTF-8 of a str, with characters that cannot be encoded (lone surrogates)
// replaced by U+FFFD. Never fails.
std::string utf8_lossy(PyObject* text);

namespace detail {
[[noreturn, gnu::cold, gnu::noinline]] void abort_at_ffi_boundary() noexcept;
[[gnu::cold]] PyErr panic_error(const InternalFailure& failure);
}  // namespace detail

// Runs an entry body that returns Result<PyObject*>. Returns the object, or
// null with exactly one exception set. No C++ exception ever leaves it: a
// failure while raising aborts the process. What is let through is the forced
// unwinding by which the interpreter ends a daemon thread at shutdown (it
// exits the thread with pthread_exit, possibly inside a conversion method
// called from here); stopping it would abort the whole process. That unwinding
// carries no C++ object, so it is told apart by what it is not.
template <class Body>
PyObject* run_contained(Body&& body) {
    try {
        PyObject* result = nullptr;
        {
            std::optional<PyErr> error;
            try {
                Result<PyObject*> r = body();
                if (r.ok()) {
                    result = r.value();
                } else {
                    error = std::move(r.error());
                }
            } catch (const InternalFailure& failure) {
                error = detail::panic_error(failure);
            }
            if (error) restore_error(std::move(*error));
        }
        return result;
    } catch (const InternalFailure&) {
        detail::abort_at_ffi_boundary();
    } catch (const std::exception&) {
        detail::abort_at_ffi_boundary();
    }
}

// For slots that return nothing (deallocation): an internal failure goes to
// the interpreter's unraisable hook.
template <class Body>
void run_contained_unraisable(Body&& body) {
    try {
        std::optional<PyErr> error;
        try {
            body();
        } catch (const InternalFailure& failure) {
            error = detail::panic_error(failure);
        }
        if (error) {
            restore_error(std::move(*error));
            PyErr_WriteUnraisable(nullptr);
        }
    } catch (const InternalFailure&) {
        detail::abort_at_ffi_boundary();
    } catch (const std::exception&) {
        detail::abort_at_ffi_boundary();
    }
}

}  // namespace varnelle::binding
