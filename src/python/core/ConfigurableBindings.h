#pragma once

#include "corvaxis/core/Parameter.h"

#include <pybind11/pybind11.h>

#include <string>

// What every bound configurable (algorithms, data components) offers: its parameters as Properties
// and each parameter as the attribute p_<name>.
namespace corvaxis::python {

namespace py = pybind11;

using ConfigurableOf = Configurable& (*)(py::handle self);

py::object parameterAttribute(py::handle self, const std::string& attribute, ConfigurableOf configurable);
void setParameterAttribute(py::handle self, const py::str& attribute, py::handle value, ConfigurableOf configurable);
py::list attributeNames(py::handle self, ConfigurableOf configurable);

template <typename Class>
void bindConfigurable(Class& cls)
{
    using Type = typename Class::type;
    constexpr ConfigurableOf configurableOf = [](py::handle self) -> Configurable& { return self.cast<Type&>(); };
    cls.def("configuration", [](const Type& self) {
           Properties properties;
           self.configuration(&properties);
           return properties;
       }, "The values of the parameters, as new Properties.")
        .def("configure", [](Type& self, const Properties& properties) { self.configure(&properties); },
             py::arg("properties"), "Takes the values of the parameters that properties names; the others stay.")
        .def("__getattr__", [configurableOf](py::handle self, const std::string& attribute) {
            return parameterAttribute(self, attribute, configurableOf);
        })
        .def("__setattr__", [configurableOf](py::handle self, const py::str& attribute, py::handle value) {
            setParameterAttribute(self, attribute, value, configurableOf);
        })
        .def("__dir__", [configurableOf](py::handle self) { return attributeNames(self, configurableOf); });
}

}  // namespace corvaxis::python
