#include "ConfigurableBindings.h"

#include "PropertyValues.h"

#include <fmt/format.h>

namespace corvaxis::python {

namespace {

constexpr std::string_view prefix = "p_";

std::string typeName(py::handle self) { return py::type::handle_of(self).attr("__name__").cast<std::string>(); }

ParameterBase& parameterNamed(py::handle self, const std::string& attribute, ConfigurableOf configurable)
{
    const std::string name = attribute.substr(prefix.size());
    ParameterBase* parameter = configurable(self).parameter(name);
    if (!parameter)
        throw py::attribute_error(fmt::format("'{}' object has no parameter '{}'", typeName(self), name));
    return *parameter;
}

/// Parameters are typed only through their Properties form, which is how they are read and written.
Properties::Value currentValue(const ParameterBase& parameter)
{
    Properties values;
    parameter.configuration(values);
    // List parameters save sub-blocks, not a value of their own.
    const Properties::Param* saved = values.find(parameter.name());
    if (!saved)
        throw py::type_error(fmt::format("parameter '{}' holds a list of blocks, not a single value", parameter.name()));
    return saved->value;
}

}  // namespace

py::object parameterAttribute(py::handle self, const std::string& attribute, ConfigurableOf configurable)
{
    if (!attribute.starts_with(prefix))
        throw py::attribute_error(fmt::format("'{}' object has no attribute '{}'", typeName(self), attribute));
    return valueToPython(currentValue(parameterNamed(self, attribute, configurable)));
}

void setParameterAttribute(py::handle self, const py::str& attribute, py::handle value, ConfigurableOf configurable)
{
    const auto name = attribute.cast<std::string>();
    if (!name.starts_with(prefix)) {
        if (PyObject_GenericSetAttr(self.ptr(), attribute.ptr(), value.ptr()) != 0)
            throw py::error_already_set();
        return;
    }
    ParameterBase& parameter = parameterNamed(self, name, configurable);
    const unsigned type = typeCodeOf(currentValue(parameter));
    Properties values;
    values.setParam(parameter.name(), valueOfType(value, type, fmt::format("parameter '{}'", parameter.name())));
    // Through configure, so that the parameter's change signal fires only for a new value.
    parameter.configure(values);
}

py::list attributeNames(py::handle self, ConfigurableOf configurable)
{
    py::list names = py::module_::import("builtins").attr("object").attr("__dir__")(self);
    for (const ParameterBase* parameter : configurable(self).parameters())
        names.append(std::string(prefix) + parameter->name());
    return names;
}

}  // namespace corvaxis::python
