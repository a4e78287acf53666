#include "arguments.hpp"

#include <cstring>

namespace varnelle::binding {
namespace {

std::string full_name(const CallSignature& signature) {
    return std::string(signature.function_name) + "()";
}

[[gnu::cold, gnu::noinline]] PyErr too_many_positional(const CallSignature& signature,
                                                       Py_ssize_t given) {
    return type_error(full_name(signature) + " takes from " + std::to_string(signature.required) +
                      " to " + std::to_string(signature.parameters.size()) +
                      " positional arguments but " + std::to_string(given) + " were given");
}

[[gnu::cold, gnu::noinline]] PyErr multiple_values(const CallSignature& signature,
                                                   std::string_view parameter) {
    return type_error(full_name(signature) + " got multiple values for argument '" +
                      std::string(parameter) + "'");
}

[[gnu::cold, gnu::noinline]] PyErr unexpected_keyword(const CallSignature& signature, PyObject* key) {
    return type_error(full_name(signature) + " got an unexpected keyword argument '" +
                      display_text(key) + "'");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[gnu::cold, gnu::noinline]] PyErr missing_required(const CallSignature& signature,
                                                    PyObject* const* slots) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) count += slots[i] == nullptr;
    std::string list;
    std::size_t written = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (written > 0) {
            if (count == 2) {
                list += " and ";
            } else {
                list += written + 1 == count ? ", and " : ", ";
            }
        }
        list += "'" + std::string(signature.parameters[i]) + "'";
        ++written;
    }
    return type_error(full_name(signature) + " missing " + std::to_string(count) +
                      " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                      list);
}

const PyObject* const* interned_names(const CallSignature& signature) {
    PyObject** names = signature.interned_names;
    if (names[signature.parameters.size() - 1] == nullptr) {
        for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
            interned_text(names[i], signature.parameters[i]);
        }
    }
    return names;
}

// Index of the parameter a keyword names, or n when it names none. A key that
// is not text matches nothing; its conversion error is discarded.
std::size_t keyword_index(const CallSignature& signature, PyObject* key) {
    const std::size_t n = signature.parameters.size();
    const PyObject* const* names = interned_names(signature);
    for (std::size_t i = 0; i < n; ++i) {
        if (names[i] == key) return i;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        (void)fetch_error();
        return n;
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    std::size_t index = 0;
    while (index < n && signature.parameters[index] != name) ++index;
    return index;
}

}  // namespace

namespace detail {

std::optional<PyErr> bind_with_keywords(const CallSignature& signature, PyObject* args,
                                        PyObject* kwargs, PyObject** slots) {
    const std::size_t n = signature.parameters.size();
    const Py_ssize_t given = PyTuple_Size(args);
    const std::size_t p = static_cast<std::size_t>(given);
    for (std::size_t i = 0; i < p && i < n; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (p > n) return too_many_positional(signature, given);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const std::size_t index = keyword_index(signature, key);
            if (index == n) return unexpected_keyword(signature, key);
            if (slots[index] != nullptr) return multiple_values(signature, signature.parameters[index]);
            slots[index] = value;
        }
    }

    if (p < signature.required) {
        for (std::size_t i = p; i < signature.required; ++i) {
            if (slots[i] == nullptr) return missing_required(signature, slots);
        }
    }
    return std::nullopt;
}

Result<double> double_or_error() {
    if (auto error = take_error()) return std::move(*error);
    return -1.0;
}

}  // namespace detail

Result<std::string_view> extract_text(PyObject* obj) {
    if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) return fetch_error();
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }
    std::string type_name = "<failed to extract type name>";
    if (PyObject* qualname = PyType_GetQualName(Py_TYPE(obj))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname, &size)) {
            type_name.assign(utf8, static_cast<std::size_t>(size));
        } else {
            (void)fetch_error();
        }
        Py_DecRef(qualname);
    } else {
        (void)fetch_error();
    }
    return type_error("'" + type_name + "' object cannot be converted to 'PyString'");
}

PyErr wrap_argument_error(std::string_view parameter, PyErr error) {
    PyObject* exception = normalize_error(error);
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception)) != PyExc_TypeError) return error;

    std::string shown;
    try {
        shown = display_text(exception);  // may run Python code
    } catch (...) {
        // display_text throws nothing of its own: this is a thread being
        // ended at shutdown, unwinding without the interpreter lock.
        error.abandon();
        throw;
    }
    const std::string message = "argument '" + std::string(parameter) + "': " + shown;
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) api_call_failed();
    PyObject* renamed = PyObject_CallFunctionObjArgs(PyExc_TypeError, text, nullptr);
    Py_DecRef(text);
    if (renamed == nullptr) return fetch_error();
    // The original is dropped: it becomes neither cause nor context; only its
    // own cause carries over.
    PyException_SetCause(renamed, PyException_GetCause(exception));
    return PyErr::normalized(renamed);
}

std::string display_text(PyObject* obj) {
    if (PyObject* text = PyObject_Str(obj)) {
        std::string out = utf8_lossy(text);
        Py_DecRef(text);
        return out;
    }
    PyErr_WriteUnraisable(obj);
    if (PyObject* name = PyType_GetName(Py_TYPE(obj))) {
        std::string out = "<unprintable " + utf8_lossy(name) + " object>";
        Py_DecRef(name);
        return out;
    }
    PyErr_Clear();
    return "<unprintable object>";
}

}  // namespace varnelle::binding
