#include "AnatomyBindings.h"

#include "AnatomyDataBindings.h"
#include "ModuleDocstring.h"
#include "binding_detail/KeyDeclarations.h"

#include <Python.h>

#include <cstring>
#include <memory>
#include <vector>

namespace py = pybind11;

namespace corvaxis {

void AnatomyBindings::createMembersDocumentation()
{
    m_module.attr("__doc__") = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
        anatomy_module::kModuleDocstring.data(), static_cast<Py_ssize_t>(anatomy_module::kModuleDocstring.size()),
        nullptr));
}

void AnatomyBindings::bind()
{
    createMembersDocumentation();
    // The list owns the bindings objects; leaving this scope, normally or by an exception,
    // destroys them in list order.
    std::vector<std::unique_ptr<PySDKDevTools::BindingsInterface>> bindings;
    bindings.push_back(std::make_unique<AnatomyDataBindings>(m_module));
    for (const auto& unit : bindings)
        unit->bind();
}

}  // namespace corvaxis

namespace {

constexpr const char* kCompiledPythonVersion = "3.14";

// "3.14" followed by anything but a digit: 3.14.2 and 3.14+ pass, 3.140 and 3.13.1 do not.
bool interpreterMatches(const char* version)
{
    const std::size_t length = std::strlen(kCompiledPythonVersion);
    return std::strncmp(version, kCompiledPythonVersion, length) == 0 &&
           !(version[length] >= '0' && version[length] <= '9');
}

PyObject* initializeModule()
{
    const char* version = Py_GetVersion();
    if (!interpreterMatches(version)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
                     "incompatible: %s.",
                     kCompiledPythonVersion, version);
        return nullptr;
    }
    // Single-phase initialisation: one static definition record for the process.
    static PyModuleDef moduleDefinition{};
    py::module_ module;
    try {
        // Shared with the host package's extension modules, which registered the host types in it.
        py::detail::get_internals();
        module = py::module_::create_extension_module("anatomy", nullptr, &moduleDefinition);
        // The handle comes back borrowed on top of the new module's own reference: keep exactly
        // one, so that returning hands it over and failing below destroys the module.
        module.dec_ref();
    }
    catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    }
    catch (const std::exception& error) {
        PyErr_SetString(PyExc_ImportError, error.what());
        return nullptr;
    }

    try {
        // Imported for its effect: it imports the package first, and both register the host
        // types that the classes below derive from or convert.
        py::module_::import("corvaxis.graph");
        corvaxis::AnatomyBindings bindings(module);
        bindings.bind();
    }
    catch (py::error_already_set& error) {
        py::raise_from(error, PyExc_ImportError, "initialization failed");
        return nullptr;
    }
    catch (const std::exception& error) {
        PyErr_SetString(PyExc_ImportError, error.what());
        return nullptr;
    }
    // Dropping `module` on the failure paths above releases it: no half-built module escapes.
    return module.release().ptr();
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_anatomy() { return initializeModule(); }
