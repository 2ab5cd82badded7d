#include "binding_detail/ExceptionTranslation.h"

#include "corvaxis/anatomy/AnatomicalStructureInvalidException.h"

#include <pybind11/gil_safe_call_once.h>

#include <string>

namespace py = pybind11;

namespace corvaxis::binding_detail {

namespace {
PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<py::object> exceptionClass;
}

void bindAnatomicalStructureInvalidException(py::module_& module)
{
    const py::object& pythonClass = exceptionClass
                                        .call_once_and_store_result([&module] {
                                            const std::string qualifiedName =
                                                module.attr("__name__").cast<std::string>() +
                                                ".AnatomicalStructureInvalidException";
                                            PyObject* created =
                                                PyErr_NewException(qualifiedName.c_str(), PyExc_Exception, nullptr);
                                            if (!created)
                                                throw py::error_already_set();
                                            return py::reinterpret_steal<py::object>(created);
                                        })
                                        .get_stored();
    module.attr("AnatomicalStructureInvalidException") = pythonClass;

    // Registered in front of the process-wide list; anything else is rethrown to the next one.
    py::register_exception_translator([](std::exception_ptr exception) {
        try {
            if (exception)
                std::rethrow_exception(exception);
        }
        catch (const AnatomicalStructureInvalidException& error) {
            py::set_error(exceptionClass.get_stored(), error.what());
        }
    });
}

}  // namespace corvaxis::binding_detail
