#include "styling/ReferenceGuard.h"

#include <stdexcept>
#include <string>
#include <unordered_map>

namespace py = pybind11;

namespace corvaxis::binding_detail {

namespace {

/// Never destroyed: guarded objects may still die while the interpreter shuts down.
std::unordered_map<PyObject*, std::function<bool()>>& guards()
{
    static auto* registry = new std::unordered_map<PyObject*, std::function<bool()>>();
    return *registry;
}

}  // namespace

void guardReference(py::handle object, std::function<bool()> stillValid)
{
    auto [it, inserted] = guards().insert_or_assign(object.ptr(), std::move(stillValid));
    if (!inserted)
        return;  // the same Python object handed out again: it now refers to the current value
    PyObject* key = object.ptr();
    // The entry goes with the object; the weak reference itself is released by its callback.
    py::cpp_function forget([key](py::handle weakref) {
        guards().erase(key);
        weakref.dec_ref();
    });
    py::weakref(object, forget).release();
}

bool referenceIsValid(py::handle object)
{
    const auto it = guards().find(object.ptr());
    return it == guards().end() || it->second();
}

void requireValidReference(py::handle object, std::string_view message)
{
    if (!referenceIsValid(object))
        throw std::runtime_error(std::string(message));
}

}  // namespace corvaxis::binding_detail
