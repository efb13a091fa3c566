#include "binding_support/python_support.hpp"

#include <cstdint>
#include <cstring>

#include "sanitize/sanitize.hpp"

namespace pellux::binding_support {

PyObject* new_clean_str(std::string_view text) {
    const Utf8Shape shape = utf8_shape(text);
    const Py_UCS4 max_char = shape.max_byte < 0x80   ? 0x7F
                             : shape.max_byte < 0xC4 ? 0xFF
                             : shape.max_byte < 0xF0 ? 0xFFFF
                                                     : 0x10FFFF;
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), max_char);
    if (str == nullptr) return nullptr;
    void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            if (shape.max_byte < 0x80) {
                std::memcpy(data, text.data(), text.size());  // ASCII: the bytes are the units
            } else {
                utf8_widen(text, static_cast<std::uint8_t*>(data), shape.chars);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            utf8_widen(text, static_cast<std::uint16_t*>(data), shape.chars);
            break;
        default:
            utf8_widen(text, static_cast<std::uint32_t*>(data), shape.chars);
            break;
    }
    return str;
}

void raise_error(const Error& error, PyObject* start_type) {
    PyObject* type = error.kind == ErrorKind::Runtime ? PyExc_RuntimeError : start_type;
    PyObject* text = PyUnicode_FromStringAndSize(error.message.data(),
                                                 static_cast<Py_ssize_t>(error.message.size()));
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

PyObject* none_or_raise(const Result<void>& result, PyObject* start_type) {
    if (!result) {
        raise_error(result.error(), start_type);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace pellux::binding_support
