#include "Bindings.h"
#include "PropertyValues.h"

#include "corvaxis/core/Properties.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

namespace corvaxis::python {

namespace {

using PropertiesClass = py::class_<Properties>;

void fill(Properties& target, const py::dict& values);

bool isBlock(py::handle value) { return py::isinstance<py::dict>(value) || py::isinstance<Properties>(value); }

Properties blockFrom(const std::string& name, py::handle value)
{
    Properties block(name);
    if (py::isinstance<Properties>(value)) {
        block = value.cast<const Properties&>();
        block.setName(name);
    }
    else
        fill(block, value.cast<py::dict>());
    return block;
}

/// A dict or Properties value is one sub-block; a non-empty list of them is several of one name.
void fill(Properties& target, const py::dict& values)
{
    for (const auto& [key, value] : values) {
        if (!py::isinstance<py::str>(key))
            throw py::type_error(fmt::format("Properties names must be str, got {}",
                                             py::type::handle_of(key).attr("__name__").cast<std::string>()));
        const auto name = key.cast<std::string>();
        bool blockList = (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) && py::len(value) > 0;
        if (blockList)
            for (py::handle item : value)
                blockList = blockList && isBlock(item);
        if (isBlock(value))
            target.addSubProperties(blockFrom(name, value));
        else if (blockList)
            for (py::handle item : value)
                target.addSubProperties(blockFrom(name, item));
        else
            target.setParam(name, valueFromPython(value, fmt::format("value of '{}'", name)));
    }
}

}  // namespace

py::dict asDict(const Properties& properties)
{
    py::dict result;
    for (const Properties::Param& param : properties.params())
        result[py::str(param.name)] = valueToPython(param.value);
    for (const Properties* block : properties.subProperties()) {
        const py::str name(block->name());
        if (properties.hasParam(block->name()))
            throw py::value_error(
                fmt::format("'{}' names both a value and sub-properties; a dict cannot hold both", block->name()));
        if (!result.contains(name))
            result[name] = py::list();
        result[name].cast<py::list>().append(asDict(*block));
    }
    return result;
}

namespace {

const Properties::Param& existing(const Properties& properties, const std::string& name)
{
    const Properties::Param* param = properties.find(name);
    if (!param)
        throw py::key_error(name);
    return *param;
}

/// Sub-blocks live inside their parent: the Python object of each keeps the parent's alive.
py::list blocksOf(py::handle self, const std::vector<Properties*>& blocks)
{
    py::list result;
    for (Properties* block : blocks)
        result.append(py::cast(block, py::return_value_policy::reference_internal, self));
    return result;
}

}  // namespace

void declareProperties(py::module_& module)
{
    PropertiesClass(module, "Properties",
                    "A tree of named, typed values (bool, int, float, str, 2-, 3- and 4-vectors, 4x4 matrices)\n"
                    "with named sub-blocks. Behaves like a mapping over its values.");
}

void bindProperties(py::module_& module)
{
    PropertiesClass cls(module.attr("Properties"));
    cls.def(py::init([](const py::object& values) {
                auto properties = std::make_unique<Properties>();
                if (py::isinstance<Properties>(values))
                    *properties = values.cast<const Properties&>();
                else if (py::isinstance<py::dict>(values))
                    fill(*properties, values);
                else if (!values.is_none())
                    throw py::type_error(
                        fmt::format("values must be a dict or Properties, got {}",
                                    py::type::handle_of(values).attr("__name__").cast<std::string>()));
                return properties;
            }),
            py::arg("values") = py::none(),
            "Builds a tree from a dict (dicts and lists of dicts become sub-properties) or copies another.")
        .def_property("name", &Properties::name, &Properties::setName)
        .def("__getitem__", [](const Properties& self, const std::string& name) {
            return valueToPython(existing(self, name).value);
        })
        .def("__setitem__", [](Properties& self, const std::string& name, const py::object& value) {
            self.setParam(name, valueFromPython(value, fmt::format("value of '{}'", name)));
        })
        .def("__delitem__", [](Properties& self, const std::string& name) {
            if (!self.removeParam(name))
                throw py::key_error(name);
        })
        .def("__contains__", [](const Properties& self, const std::string& name) { return self.hasParam(name); })
        .def("__len__", [](const Properties& self) { return self.params().size(); })
        .def("__iter__", [](const Properties& self) { return py::iter(py::cast(self.paramNames())); })
        .def("keys", &Properties::paramNames, "The names of the values, in insertion order.")
        .def("values", [](const Properties& self) {
            py::list result;
            for (const Properties::Param& param : self.params())
                result.append(valueToPython(param.value));
            return result;
        })
        .def("items", [](const Properties& self) {
            py::list result;
            for (const Properties::Param& param : self.params())
                result.append(py::make_tuple(param.name, valueToPython(param.value)));
            return result;
        })
        .def("get", [](const Properties& self, const std::string& name, const py::object& fallback) {
            const Properties::Param* param = self.find(name);
            return param ? valueToPython(param->value) : fallback;
        }, py::arg("name"), py::arg("default") = py::none())
        .def_property("attributes", &Properties::attributes, &Properties::setAttributes,
                      "The block's own attributes (str to str).")
        .def("param_attributes", [](const Properties& self, const std::string& name) {
            return existing(self, name).attributes;
        }, py::arg("name"), "The attributes (str to str) of a value.")
        .def("set_param_attributes", [](Properties& self, const std::string& name, Properties::Attributes attributes) {
            existing(self, name);
            self.setParamAttributes(name, std::move(attributes));
        }, py::arg("name"), py::arg("attributes"))
        .def("add_sub_properties", [](Properties& self, const std::string& name, const py::object& values) {
            if (values.is_none())
                return self.addSubProperties(name);
            return self.addSubProperties(blockFrom(name, values));
        }, py::arg("name"), py::arg("values") = py::none(), py::return_value_policy::reference_internal,
            "Appends a sub-block (empty, or filled from a dict) and returns it; it keeps this tree alive.")
        .def("sub_properties", [](const py::object& self, const std::optional<std::string>& name) {
            auto& properties = self.cast<Properties&>();
            if (name)
                return blocksOf(self, properties.subPropertiesAll(*name));
            std::vector<Properties*> all;
            for (const Properties* block : properties.subProperties())
                all.push_back(const_cast<Properties*>(block));
            return blocksOf(self, all);
        }, py::arg("name") = py::none(), "The sub-blocks of that name (all without a name), in order.")
        .def("asdict", &asDict, "A nested dict: values by name, sub-blocks as lists of dicts under their name.")
        .def("__eq__", [](const Properties& self, const Properties& other) { return self == other; }, py::is_operator())
        .def("__copy__", [](const Properties& self) { return Properties(self); })
        .def("__deepcopy__", [](const Properties& self, const py::dict&) { return Properties(self); })
        .def("__repr__", [](const Properties& self) {
            const std::string name = self.name().empty() ? "" : fmt::format(" '{}'", self.name());
            return fmt::format("<Properties{}, values={}, sub_properties={}>", name, self.params().size(),
                               self.subProperties().size());
        });
}

}  // namespace corvaxis::python
