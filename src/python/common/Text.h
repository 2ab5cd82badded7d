#pragma once

#include "corvaxis/core/String.h"

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

// Text crossing between Python and the host. pybind11's own std::string conversion takes any
// bytes, and bytes that are not UTF-8 would end up in stored names and keys that no longer read
// back as text (keys(), repr and even error messages would raise UnicodeDecodeError).
namespace corvaxis::python {

namespace py = pybind11;

/// A parameter type for text arguments (signatures read "str"): converts from `str`, and from
/// `bytes` taken byte for byte when they are UTF-8, as callers of the key-value stores may pass.
struct Text : std::string {
    Text() = default;
    Text(std::string text) : std::string(std::move(text)) {}
};

/// The UTF-8 text of a `str`; TypeError naming the argument for anything else (bytes included).
std::string textFromPython(py::handle object, std::string_view name);

/// Raises a Python exception of the given type whose message is the whole text, NUL characters
/// and all (pybind11's exceptions end the message at the first NUL). Bytes that are not UTF-8
/// appear as backslash escapes rather than hiding the error behind a UnicodeDecodeError.
[[noreturn]] void raiseError(PyObject* type, std::string_view message);

}  // namespace corvaxis::python

namespace pybind11::detail {

template <>
struct type_caster<corvaxis::python::Text> {
    PYBIND11_TYPE_CASTER(corvaxis::python::Text, const_name("str"));

    bool load(handle source, bool)
    {
        if (source && PyBytes_Check(source.ptr())) {
            const std::string_view bytes(PyBytes_AS_STRING(source.ptr()),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(source.ptr())));
            if (!corvaxis::String::isValidUtf8(bytes))
                return false;
            value.assign(bytes);
            return true;
        }
        if (!source || !PyUnicode_Check(source.ptr()))
            return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(source.ptr(), &size);
        if (!data) {  // lone surrogates have no UTF-8 form
            PyErr_Clear();
            return false;
        }
        value.assign(data, static_cast<std::size_t>(size));
        return true;
    }

    static handle cast(const corvaxis::python::Text& text, return_value_policy, handle)
    {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    }
};

}  // namespace pybind11::detail
