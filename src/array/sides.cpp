#include "sides.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "pricing/option_type.hpp"

namespace varnelle::array {
namespace {

constexpr const char kInvalid[] = "Invalid option type. Use 'call' or 'put'.";

// A fixed-width UCS-4 text, NUL-padded: only ASCII texts of one to four
// characters can name a side.
std::optional<OptionType> side_of_ucs4(const std::uint32_t* chars, std::size_t width) {
    while (width > 0 && chars[width - 1] == 0) --width;
    if (width == 0 || width > 4) return std::nullopt;
    char ascii[4];
    for (std::size_t i = 0; i < width; ++i) {
        if (chars[i] > 0x7f) return std::nullopt;
        ascii[i] = static_cast<char>(chars[i]);
    }
    return option_type_from_text(std::string_view(ascii, width));
}

std::optional<OptionType> side_of_object(PyObject* item) {
    if (item == nullptr || !PyUnicode_Check(item)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) {  // lone surrogates cannot be UTF-8: no side either
        PyErr_Clear();
        return std::nullopt;
    }
    return option_type_from_text(std::string_view(utf8, static_cast<std::size_t>(size)));
}

// Fills puts from texts; returns the flat index of the first bad text or -1.
template <typename Read>
npy_intp fill(npy_bool* puts, npy_intp count, Read&& read) {
    for (npy_intp i = 0; i < count; ++i) {
        const std::optional<OptionType> side = read(i);
        if (!side) return i;
        puts[i] = *side == OptionType::Put ? NPY_TRUE : NPY_FALSE;
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
        bad = fill(puts, count, [&](npy_intp i) { return side_of_ucs4(chars + static_cast<std::size_t>(i) * width, width); });
        Py_END_ALLOW_THREADS
    } else {
        auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(array));
        bad = fill(puts, count, [&](npy_intp i) { return side_of_object(items[i]); });
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
    const std::optional<OptionType> side = side_of_object(text);
    if (!side) {
        PyErr_SetString(PyExc_ValueError, kInvalid);
        return nullptr;
    }
    return PyBool_FromLong(*side == OptionType::Put);
}

}  // namespace varnelle::array
