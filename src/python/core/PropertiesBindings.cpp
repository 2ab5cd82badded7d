#include "Bindings.h"
#include "PropertyValues.h"

#include "../common/Snapshots.h"
#include "../common/Text.h"

#include "corvaxis/core/Properties.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace corvaxis::python {

namespace {

using PropertiesClass = py::class_<Properties>;

bool isBlock(py::handle value) { return py::isinstance<py::dict>(value) || py::isinstance<Properties>(value); }

/// Fills target from a dict: a dict or Properties value is one sub-block, a non-empty list or
/// tuple of them several of one name, anything else a value.
///
/// The nested dicts are visited with a list of pending ones, not by recursion, so that depth
/// costs neither stack nor copies; each sub-block is filled in place. The dicts on the way down
/// are remembered, so that a dict that contains itself is refused instead of never ending.
void fill(Properties& target, const py::dict& values)
{
    struct Pending {
        Properties* block;
        py::dict values;
        std::size_t depth;
    };
    std::vector<Pending> pending = {{&target, values, 0}};
    std::vector<PyObject*> path;
    std::unordered_set<PyObject*> onPath;
    while (!pending.empty()) {
        Pending current = std::move(pending.back());
        pending.pop_back();
        // Visited depth first: the dicts above this one are exactly the first `depth` on the path.
        while (path.size() > current.depth) {
            onPath.erase(path.back());
            path.pop_back();
        }
        if (!onPath.insert(current.values.ptr()).second)
            throw py::value_error("Properties cannot be built from a dict that contains itself");
        path.push_back(current.values.ptr());

        std::vector<Pending> children;
        const auto addBlock = [&](const std::string& name, py::handle value) {
            if (py::isinstance<Properties>(value)) {
                Properties copy = value.cast<const Properties&>();
                copy.setName(name);
                current.block->addSubProperties(std::move(copy));
            }
            else
                children.push_back({current.block->addSubProperties(name), py::reinterpret_borrow<py::dict>(value),
                                    current.depth + 1});
        };
        for (const auto& [key, value] : itemsSnapshot(current.values)) {
            if (!py::isinstance<py::str>(key))
                throw py::type_error(fmt::format("Properties names must be str, got {}",
                                                 py::type::handle_of(key).attr("__name__").cast<std::string>()));
            const std::string name = textFromPython(key, "Properties names");
            if (isBlock(value)) {
                addBlock(name, value);
                continue;
            }
            if ((py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) && py::len(value) > 0) {
                const std::vector<py::object> items = itemsSnapshot(value);
                if (std::all_of(items.begin(), items.end(), [](const py::object& item) { return isBlock(item); })) {
                    for (const py::object& item : items)
                        addBlock(name, item);
                    continue;
                }
            }
            current.block->setParam(name, valueFromPython(value, fmt::format("value of '{}'", name)));
        }
        // Last first onto the stack, so that the blocks are filled in order.
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.push_back(std::move(*child));
    }
}

/// A new block of that name, copied from a Properties or filled from a dict.
Properties blockFrom(const std::string& name, py::handle value)
{
    if (py::isinstance<Properties>(value)) {
        Properties block = value.cast<const Properties&>();
        block.setName(name);
        return block;
    }
    if (!py::isinstance<py::dict>(value))
        throw py::type_error(fmt::format("values must be a dict or Properties, got {}",
                                         py::type::handle_of(value).attr("__name__").cast<std::string>()));
    Properties block(name);
    fill(block, py::reinterpret_borrow<py::dict>(value));
    return block;
}

/// Attributes (str to str) from a dict; text only, as everywhere a str is declared.
Properties::Attributes attributesFromPython(py::handle object, const char* name)
{
    if (!py::isinstance<py::dict>(object))
        throw py::type_error(fmt::format("{} must be a dict of str to str, got {}", name,
                                         py::type::handle_of(object).attr("__name__").cast<std::string>()));
    Properties::Attributes attributes;
    for (const auto& [key, value] : itemsSnapshot(py::reinterpret_borrow<py::dict>(object))) {
        const std::string text = textFromPython(key, fmt::format("the names of {}", name));
        attributes.insert_or_assign(text, textFromPython(value, fmt::format("{}['{}']", name, text)));
    }
    return attributes;
}

}  // namespace

py::dict asDict(const Properties& properties)
{
    // Visited with a list of pending blocks, not by recursion, so that depth costs no stack; each
    // block's dict is made (and placed in its parent's list) before the block is filled.
    struct Pending {
        const Properties* block;
        py::dict values;
    };
    py::dict result;
    std::vector<Pending> pending = {{&properties, result}};
    while (!pending.empty()) {
        const Pending current = std::move(pending.back());
        pending.pop_back();
        for (const Properties::Param& param : current.block->params())
            current.values[py::str(param.name)] = valueToPython(param.value);
        std::vector<Pending> children;
        for (const Properties* block : current.block->subProperties()) {
            const py::str name(block->name());
            if (current.block->hasParam(block->name()))
                throw py::value_error(
                    fmt::format("'{}' names both a value and sub-properties; a dict cannot hold both", block->name()));
            if (!current.values.contains(name))
                current.values[name] = py::list();
            py::dict child;
            current.values[name].cast<py::list>().append(child);
            children.push_back({block, std::move(child)});
        }
        // Last first onto the stack, so that the blocks are filled in order.
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.push_back(std::move(*child));
    }
    return result;
}

namespace {

const Properties::Param& existing(const Properties& properties, const std::string& name)
{
    const Properties::Param* param = properties.find(name);
    if (!param)
        raiseError(PyExc_KeyError, name);
    return *param;
}

/// The Python object that keeps the tree of a block alive: the block's own for a tree Python
/// owns, otherwise what its own object keeps alive. Handles to sub-blocks keep that owner alive
/// rather than the handle they came from, so that a chain of them never nests: releasing the
/// last of 50 000 handles must not release the others one inside the other.
py::object treeOwner(py::handle self)
{
    const auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
    std::vector<PyObject*> owners;
    if (!instance->owned && instance->has_patients)
        py::detail::with_internals([&](py::detail::internals& internals) {
            const auto found = internals.patients.find(self.ptr());
            if (found != internals.patients.end())
                owners = found->second;
        });
    return py::reinterpret_borrow<py::object>(owners.empty() ? self.ptr() : owners.front());
}

/// A handle to a block inside the tree that self belongs to; it keeps the tree's owner alive.
py::object blockHandle(py::handle self, Properties* block)
{
    py::object handle = py::cast(block, py::return_value_policy::reference);
    py::detail::keep_alive_impl(handle, treeOwner(self));
    return handle;
}

py::list blocksOf(py::handle self, const std::vector<Properties*>& blocks)
{
    py::list result;
    for (Properties* block : blocks)
        result.append(blockHandle(self, block));
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
                    fill(*properties, py::reinterpret_borrow<py::dict>(values));
                else if (!values.is_none())
                    throw py::type_error(
                        fmt::format("values must be a dict or Properties, got {}",
                                    py::type::handle_of(values).attr("__name__").cast<std::string>()));
                return properties;
            }),
            py::arg("values") = py::none(),
            "Builds a tree from a dict (dicts and lists of dicts become sub-properties) or copies another.")
        .def_property("name", &Properties::name, [](Properties& self, const Text& name) { self.setName(name); })
        .def("__getitem__", [](const Properties& self, const Text& name) {
            return valueToPython(existing(self, name).value);
        })
        .def("__setitem__", [](Properties& self, const Text& name, const py::object& value) {
            self.setParam(name, valueFromPython(value, fmt::format("value of '{}'", name)));
        })
        .def("__delitem__", [](Properties& self, const Text& name) {
            if (!self.removeParam(name))
                raiseError(PyExc_KeyError, name);
        })
        .def("__contains__", [](const Properties& self, const Text& name) { return self.hasParam(name); })
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
        .def("get", [](const Properties& self, const Text& name, const py::object& fallback) {
            const Properties::Param* param = self.find(name);
            return param ? valueToPython(param->value) : fallback;
        }, py::arg("name"), py::arg("default") = py::none())
        .def_property("attributes", &Properties::attributes, [](Properties& self, const py::object& attributes) {
            self.setAttributes(attributesFromPython(attributes, "attributes"));
        },
                      "The block's own attributes (str to str).")
        .def("param_attributes", [](const Properties& self, const Text& name) {
            return existing(self, name).attributes;
        }, py::arg("name"), "The attributes (str to str) of a value.")
        .def("set_param_attributes", [](Properties& self, const Text& name, const py::object& attributes) {
            Properties::Attributes converted = attributesFromPython(attributes, "attributes");
            existing(self, name);
            self.setParamAttributes(name, std::move(converted));
        }, py::arg("name"), py::arg("attributes"))
        .def("add_sub_properties", [](const py::object& self, const Text& name, const py::object& values) {
            // Built completely before it is added: a failing conversion leaves this tree as it was.
            Properties block = values.is_none() ? Properties(name) : blockFrom(name, values);
            return blockHandle(self, self.cast<Properties&>().addSubProperties(std::move(block)));
        }, py::arg("name"), py::arg("values") = py::none(),
            "Appends a sub-block (empty, or filled from a dict) and returns it; it keeps this tree alive.")
        .def("sub_properties", [](const py::object& self, const std::optional<Text>& name) {
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
