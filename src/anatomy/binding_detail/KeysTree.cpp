#include "binding_detail/KeysTree.h"

#include <pybind11/pybind11.h>

#include <span>
#include <string>
#include <vector>

#include "binding_detail/KeyRegistry.h"
#include "corvaxis/core/String.h"

namespace py = pybind11;

namespace corvaxis::binding_detail {
namespace {

// Fetches the module of that name from sys.modules, creating and entering it when absent, so
// that the tree is importable by dotted name and a repeated import reuses existing modules.
py::module_ moduleFromTable(const std::string& name)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* module = PyImport_AddModuleRef(name.c_str());
    if (module == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::module_>(module);
#else
    PyObject* module = PyImport_AddModule(name.c_str());
    if (module == nullptr)
        throw py::error_already_set();
    return py::reinterpret_borrow<py::module_>(module);
#endif
}

std::string pythonName(const std::string& component)
{
    std::vector<std::string> words = String::splitCamelCase(component);
    for (std::string& word : words)
        String::toLower(word);
    return String::join(words, "_");
}

void visit(const py::module_& parent, std::span<const std::string> parts, std::string path)
{
    path += '.';
    path += parts.front();
    const std::string name = pythonName(parts.front());

    py::module_ child;
    if (py::hasattr(parent, name.c_str())) {
        py::object existing = parent.attr(name.c_str());
        if (!PyModule_Check(existing.ptr()))
            throw py::type_error("Object of type '" + std::string(Py_TYPE(existing.ptr())->tp_name) +
                                 "' is not an instance of 'module_'");
        // A node that already exists keeps its key: the first path that created it set it.
        child = py::reinterpret_borrow<py::module_>(existing);
    } else {
        const std::string fullName = py::cast<std::string>(parent.attr("__name__")) + "." + name;
        child = moduleFromTable(fullName);
        parent.attr(name.c_str()) = child;
        child.attr("key") = py::str(path);
    }

    if (parts.size() > 1)
        visit(child, parts.subspan(1), path);
}

}  // namespace

void bindKeys()
{
    py::module_ keys;
    {
        const py::module_ package = py::module_::import("corvaxis");
        keys = moduleFromTable("corvaxis.keys");
        package.attr("keys") = keys;
    }

    for (const std::string& text : KeyRegistry::getRegistry()) {
        const std::vector<std::string> parts = String::split(text, '.');
        if (parts.size() < 2)
            continue;
        // The first component is the product prefix; the tree starts below it.
        visit(keys, std::span<const std::string>(parts).subspan(1), "Corvaxis");
    }
}

}  // namespace corvaxis::binding_detail
