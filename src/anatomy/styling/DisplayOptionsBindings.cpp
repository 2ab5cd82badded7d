#include "styling/DisplayOptionsBindings.h"

#include "styling/ReferenceGuard.h"

#include "corvaxis/anatomy/styling/ASCDisplayOptions.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <typeinfo>

namespace py = pybind11;

namespace corvaxis::binding_detail {

using AnatomyPlugin::StyleSheet;
using CheckedOptions = Checked<ASCDisplayOptions>;

namespace {

constexpr std::string_view goneOptions = goneOptionsMessage;

}  // namespace

/// Display options reached through a component list stay usable while the list holds them.
void guardListComponent(py::handle object, const DataComponentList& list, const DataComponentBase* component)
{
    // The type as well: another kind of component may be made where a removed one was.
    guardReference(object, [&list, component, &type = typeid(*component)] {
        return std::ranges::any_of(list.components(), [component, &type](const auto& held) {
            return held.get() == component && typeid(*held) == type;
        });
    });
}

void bindASCDisplayOptions(py::module_& module)
{
    py::class_<ASCDisplayOptions, DataComponentBase, std::unique_ptr<ASCDisplayOptions>>(
        module, "ASCDisplayOptions", "DataComponent to store AnatomicalStructureCollection-specific rendering options.")
        .def(py::init<>())
        .def("add_style_sheet", [](const CheckedOptions& self, const Checked<StyleSheet>& sheet,
                                           std::optional<std::string> text) {
            self.value(goneOptions).addStyleSheet(sheet.value(movedSheetMessage), text);
        })
        .def("get_or_append_style_sheet", [](const CheckedOptions& self, const std::string& name,
                                             std::optional<std::string> text) {
            ASCDisplayOptions& options = self.value(goneOptions);
            StyleSheet& sheet = options.getOrAppendStyleSheet(name, text);
            // A reference into the list: it keeps the display options alive, and is refused once the
            // list changed (its elements may have moved) or the display options left their list.
            py::object result = py::cast(&sheet, py::return_value_policy::reference);
            py::detail::keep_alive_impl(result, self);
            const std::size_t revision = options.styleSheets.revision();
            guardReference(result, [owner = py::handle(self), &options, revision] {
                return referenceIsValid(owner) && options.styleSheets.revision() == revision;
            });
            return py::reinterpret_steal<Checked<StyleSheet>>(result.release());
        })
        .def("remove_style_sheets_by_name", [](const CheckedOptions& self, const std::string& name) {
            self.value(goneOptions).removeStyleSheetsByName(name);
        });
}

}  // namespace corvaxis::binding_detail

namespace PySDKDevTools {

template <typename Component>
void registerDataComponent(const char* name)
{
    py::object listClass = py::module_::import("corvaxis").attr("DataComponentList");
    if (!py::isinstance<py::type>(listClass))
        throw py::type_error("Object of type '" + py::type::handle_of(listClass).attr("__name__").template cast<std::string>() +
                             "' is not an instance of 'generic_type'");
    py::class_<corvaxis::DataComponentList, std::unique_ptr<corvaxis::DataComponentList, py::nodelete>> list(listClass);
    list.def_property_readonly(name, [](const py::object& self) -> py::object {
        const auto& components = self.cast<const corvaxis::DataComponentList&>();
        for (const auto& component : components.components())
            if (typeid(*component) == typeid(Component)) {
                py::object result = py::cast(static_cast<Component*>(component.get()), py::return_value_policy::reference_internal, self);
                corvaxis::binding_detail::guardListComponent(result, components, component.get());
                return result;
            }
        return py::none();
    });
    list.def("add", [](const py::object& self, const Component& component) {
        auto& components = self.cast<corvaxis::DataComponentList&>();
        corvaxis::DataComponentBase* held = components.add(std::make_unique<Component>(component));
        py::object result = py::cast(held, py::return_value_policy::reference_internal, self);
        corvaxis::binding_detail::guardListComponent(result, components, held);
        return result;
    }, "Adds a copy of the component to the component list and returns a reference to the copy.");
}

template void registerDataComponent<corvaxis::ASCDisplayOptions>(const char* name);

}  // namespace PySDKDevTools
