// Interned texts, message templates and attribute lookups with a fallback.
#include "kelvora/names.hpp"

namespace kelvora {

PyObject* intern_text(const char* utf8, std::size_t size) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(utf8, Py_ssize_t(size), "strict");
    if (text) PyUnicode_InternInPlace(&text);
    return text;  // this reference is kept for the process
}

nb::object join_texts(PyObject* const* pieces, std::size_t count) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        length += PyUnicode_GET_LENGTH(pieces[i]);
        Py_UCS4 w = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
        if (w > widest) widest = w;
    }
    PyObject* joined = PyUnicode_New(length, widest);
    if (!joined) raise_pending();
    nb::object result = nb::steal(joined);
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(pieces[i]);
        if (PyUnicode_CopyCharacters(joined, at, pieces[i], 0, n) < 0) raise_pending();
        at += n;
    }
    return result;
}

nb::object attr_or(nb::handle obj, nb::handle name, nb::handle fallback, Site where) {
    where.record();
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value) < 0) raise_pending();
    return value ? nb::steal(value) : nb::borrow(fallback);
}

}  // namespace kelvora
