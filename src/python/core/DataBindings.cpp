#include "Bindings.h"
#include "ConfigurableBindings.h"

#include "../common/Arrays.h"
#include "../common/Text.h"
#include "../common/Repr.h"

#include "corvaxis/core/Data.h"
#include "corvaxis/core/InstanceCount.h"
#include "corvaxis/core/LabelDataComponent.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

namespace corvaxis::python {

namespace {

using DataClass = py::class_<Data, std::shared_ptr<Data>>;
using ComponentClass = py::class_<DataComponentBase, std::unique_ptr<DataComponentBase>>;
// The list lives inside its data object; Python never owns or deletes it.
using ComponentListClass = py::class_<DataComponentList, std::unique_ptr<DataComponentList, py::nodelete>>;
using LabelComponentClass = py::class_<LabelDataComponent, DataComponentBase, std::unique_ptr<LabelDataComponent>>;

std::string typeName(py::handle self) { return py::type::handle_of(self).attr("__name__").cast<std::string>(); }

std::size_t checkedIndex(const DataComponentList& list, py::ssize_t index)
{
    const auto size = static_cast<py::ssize_t>(list.size());
    if (index < -size || index >= size)
        throw py::index_error(fmt::format("component index {} out of range for a list of {}", index, size));
    return static_cast<std::size_t>(index < 0 ? index + size : index);
}

/// Components belong to the list: the Python object of each keeps the list's alive.
py::object componentOf(py::handle list, DataComponentBase* component)
{
    return py::cast(component, py::return_value_policy::reference_internal, list);
}

py::tuple labelConfigToPython(const LabelConfig& config)
{
    return py::make_tuple(config.name, vectorToPython(config.color.data(), 4), config.visible);
}

}  // namespace

void declareData(py::module_& module)
{
    DataClass(module, "Data", "Base of the data objects: a name, a transformation matrix and a list of components.");
    ComponentClass(module, "DataComponentBase",
                   "Extra information attached to a data object; its state is its parameters.");
    ComponentListClass(module, "DataComponentList",
                       "The components of one data object, in order; a kind of component appears at most once.");
    LabelComponentClass(module, "LabelDataComponent",
                        "The names, colours and visibility of the label values of a label image.");
}

void bindData(py::module_& module)
{
    DataClass data(module.attr("Data"));
    data.def_property("matrix", [](const Data& self) { return matrixToPython(self.matrix()); },
                      [](Data& self, const py::object& matrix) { self.setMatrix(matrixFromPython(matrix, "matrix")); },
                      "The 4x4 transformation matrix; reading it gives a copy.")
        .def_property("name", &Data::name, [](Data& self, const Text& name) { self.setName(name); })
        .def_property_readonly("components", py::overload_cast<>(&Data::components),
                               py::return_value_policy::reference_internal)
        // Host copies are always deep, so a shallow copy is one too.
        .def("__copy__", [](const Data& self) { return std::shared_ptr<Data>(self.cloneData()); })
        .def("__deepcopy__", [](const Data& self, const py::dict&) { return std::shared_ptr<Data>(self.cloneData()); })
        .def("__repr__", [](const py::object& self) {
            return fmt::format("<{}{}>", typeName(self), nameSuffix(self.cast<const Data&>()));
        });

    ComponentClass component(module.attr("DataComponentBase"));
    component.def_property_readonly("id", &DataComponentBase::id, "The identifier under which the component is kept.")
        .def("__repr__", [](const py::object& self) {
            return fmt::format("<{}, id='{}'>", typeName(self), self.cast<const DataComponentBase&>().id());
        });
    bindConfigurable(component);

    ComponentListClass list(module.attr("DataComponentList"));
    list.def("__len__", &DataComponentList::size)
        .def("__getitem__", [](const DataComponentList& self, py::ssize_t index) {
            return self.at(checkedIndex(self, index));
        }, py::return_value_policy::reference_internal)
        .def("__iter__", [](const py::object& self) {
            py::list items;
            for (const auto& component : self.cast<const DataComponentList&>().components())
                items.append(componentOf(self, component.get()));
            return py::iter(items);
        })
        .def("add", [](DataComponentList& self, const DataComponentBase& component) {
            return self.add(component.clone());
        }, py::arg("component"), py::return_value_policy::reference_internal,
            "Adds a copy of the component to the component list and returns a reference to the copy.\n"
            "When the list holds a component of the same kind already, that one takes over the values.")
        .def("__repr__", [](const DataComponentList& self) {
            std::string ids;
            for (const auto& component : self.components())
                ids += fmt::format("{}'{}'", ids.empty() ? "" : ", ", component->id());
            return fmt::format("<DataComponentList, components=[{}]>", ids);
        });

    // For tests: what is alive now, so that a test can see that it left nothing behind.
    module.def("_live_instances", [] {
        py::dict counts;
        for (const auto& [kind, live] : InstanceCounter::snapshot())
            counts[py::str(kind)] = live;
        return counts;
    }, "Live host objects by kind (data objects, components, and once the anatomy library is loaded, "
       "collections and structures); for tests.");

    LabelComponentClass labels(module.attr("LabelDataComponent"));
    labels.def(py::init<>())
        .def("set_label_config", [](LabelDataComponent& self, int label, Text name,
                                    const std::optional<py::object>& color, bool visible) {
            LabelConfig config = LabelDataComponent::defaultLabelConfig(label);
            config.name = std::move(name);
            config.visible = visible;
            if (color) {
                const py::array array = asArray(*color, "color", "(4,)");
                requireNumbers(array, "color", "(4,)");
                if (array.ndim() != 1 || array.shape(0) != 4)
                    throw py::value_error(fmt::format("color must have shape (4,), got {}", shapeText(array)));
                const auto rgba = py::array_t<double, py::array::forcecast>(array);
                config.color = Vec4(rgba.at(0), rgba.at(1), rgba.at(2), rgba.at(3));
            }
            self.setLabelConfig(label, std::move(config));
        }, py::arg("label"), py::arg("name"), py::arg("color") = py::none(), py::arg("visible") = true,
            "Names a label value; without a colour it keeps the label's default colour.")
        .def("label_config", [](const LabelDataComponent& self, int label) {
            return labelConfigToPython(self.labelConfig(label));
        }, py::arg("label"), "(name, RGBA colour, visible) of a label, its default when none was set.")
        .def_property_readonly("labels", [](const LabelDataComponent& self) {
            std::vector<int> values;
            for (const auto& [value, config] : self.labelConfigs())
                values.push_back(value);
            return values;
        }, "The label values that have a configuration, in ascending order.");
}

}  // namespace corvaxis::python
