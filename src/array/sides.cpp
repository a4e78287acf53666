#include "sides.hpp"

#include <algorithm>
#include <cstdint>

#include "pricing/core/option_type.hpp"

namespace varnelle::array {
namespace {

// A fixed-width UCS-4 text, NUL-padded as NumPy stores str arrays: the text
// ends at its last non-NUL character. Only texts of one to four characters
// can name a side, so only the first four are read, and the rest must be NUL.
int side_code_ucs4(const std::uint32_t* chars, std::size_t width) {
    std::uint32_t first[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < 4 && i < width; ++i) first[i] = chars[i];
    bool longer = false;
    for (std::size_t i = 4; i < width; ++i) longer |= chars[i] != 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < 4; ++i) count = std::max(count, static_cast<std::size_t>(first[i] != 0) * (i + 1));
    return longer ? 2 : option_type_code(first, count);
}

int side_code_object(PyObject* item) {
    if (item == nullptr || !PyUnicode_Check(item)) return 2;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) {  // lone surrogates cannot be UTF-8: no side either
        PyErr_Clear();
        return 2;
    }
    if (size < 1 || size > 4) return 2;
    std::uint32_t bytes[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < static_cast<std::size_t>(size); ++i) bytes[i] = static_cast<unsigned char>(utf8[i]);
    return option_type_code(bytes, static_cast<std::size_t>(size));
}

// Fills puts from texts; returns the flat index of the first bad text or -1.
template <typename Code>
npy_intp fill(npy_bool* puts, npy_intp count, Code&& code_of) {
    int worst = 0;
    for (npy_intp i = 0; i < count; ++i) {
        const int code = code_of(i);
        puts[i] = static_cast<npy_bool>(code == 1);
        worst |= code;
    }
    if ((worst & 2) == 0) return -1;
    for (npy_intp i = 0; i < count; ++i) {  // the cold path: find where
        if (code_of(i) == 2) return i;
    }
    return -1;
}

}  // namespace

PyObject* parse_sides(PyObject*, PyObject* texts) {
    if (!PyArray_Check(texts)) {
        PyErr_SetString(PyExc_TypeError, "parse_sides() expects a NumPy array");
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(texts);
    const int type = PyArray_TYPE(array);
    if ((type != NPY_UNICODE && type != NPY_OBJECT) || !PyArray_IS_C_CONTIGUOUS(array)) {
        PyErr_SetString(PyExc_TypeError, "parse_sides() expects a C-contiguous array of str or objects");
        return nullptr;
    }
    PyObject* result = PyArray_SimpleNew(PyArray_NDIM(array), PyArray_DIMS(array), NPY_BOOL);
    if (result == nullptr) return nullptr;
    auto* puts = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result)));
    const npy_intp count = PyArray_SIZE(array);
    npy_intp bad;
    if (type == NPY_UNICODE) {
        const auto width = static_cast<std::size_t>(PyArray_ITEMSIZE(array)) / 4;
        const auto* chars = static_cast<const std::uint32_t*>(PyArray_DATA(array));
        Py_BEGIN_ALLOW_THREADS
        bad = fill(puts, count, [&](npy_intp i) { return side_code_ucs4(chars + static_cast<std::size_t>(i) * width, width); });
        Py_END_ALLOW_THREADS
    } else {
        auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(array));
        bad = fill(puts, count, [&](npy_intp i) { return side_code_object(items[i]); });
    }
    PyObject* first_bad = PyLong_FromSsize_t(bad);
    if (first_bad == nullptr) {
        Py_DecRef(result);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, result, first_bad);
    Py_DecRef(result);
    Py_DecRef(first_bad);
    return pair;
}

PyObject* side_of(PyObject*, PyObject* text) {
    const int code = side_code_object(text);
    if (code == 2) {
        PyErr_SetString(PyExc_ValueError, kInvalidOptionType);
        return nullptr;
    }
    return PyBool_FromLong(code);
}

}  // namespace varnelle::array
