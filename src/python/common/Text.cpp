#include "Text.h"

#include <fmt/format.h>

namespace corvaxis::python {

std::string textFromPython(py::handle object, std::string_view name)
{
    if (!PyUnicode_Check(object.ptr()))
        throw py::type_error(fmt::format("{} must be str, got {}", name, Py_TYPE(object.ptr())->tp_name));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        throw py::value_error(fmt::format("{} must be text that UTF-8 can encode (it holds lone surrogates)", name));
    }
    return std::string(data, static_cast<std::size_t>(size));
}

void raiseError(PyObject* type, std::string_view message)
{
    const auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (!text)
        throw py::error_already_set();
    PyErr_SetObject(type, text.ptr());
    throw py::error_already_set();
}

}  // namespace corvaxis::python
