#include "styling/StyleBindings.h"

#include "styling/ReferenceGuard.h"
#include "styling/UpperSnake.h"

#include "corvaxis/anatomy/styling/Selector.h"
#include "corvaxis/anatomy/styling/StyleSheet.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace corvaxis::binding_detail {

using AnatomyPlugin::Selector;
using AnatomyPlugin::SelectorElem;
using AnatomyPlugin::StyleSheet;

namespace {

struct StylePropertyEntry {
    std::string_view sourceName;  // the host's CamelCase name, from which the member name comes
    std::string_view value;
    std::string_view doc;
};

constexpr std::array<StylePropertyEntry, 49> stylePropertyTable{{
    {"Visibility", "visibility",
     "Visibility of the object, default for the more specific visibility properties and can be overwritten by them. (supported by: Graphs, Images, Keypoints, Meshes, Planes, PointClouds, Splines)"},
    {"Color", "color",
     "Color of the object, default for the more specific color properties and can be overwritten by them. (supported by: Graphs, Keypoints, Meshes, Planes, PointClouds, Splines)"},
    {"Alpha", "alpha",
     "Alpha value of the object, default for the more specific alpha properties and can be overwritten by them. (supported by: Graphs, Keypoints, Meshes, Planes, PointClouds, Splines)"},
    {"ShowLabelText", "show_label_text",
     "Flag if a text label shall be shown (supported by: Keypoints, Planes, PointClouds, Splines)"},
    {"ShowLabelTextDebug", "show_label_text_debug",
     "Flag if a text label with debug info shall be shown (supported by: Keypoints, Planes, PointClouds, Splines)"},
    {"ShowOnlyPlaneNormals", "show_only_plane_normals",
     "Flag if the plane normals shall be shown (supported by: Planes)"},
    {"PlaneNormalLength", "plane_normal_length",
     "The length of a rendered normal (supported by: Planes)"},
    {"SmoothSpline", "smooth_spline",
     "Flag if the spline shall be smoothed (supported by: Splines)"},
    {"TubeThickness", "tube_thickness",
     "Double defining the thickness of the rendered tube. If 0.0 no tube is rendered but a line. (supported by: Splines)"},
    {"TubeEndT", "tube_end_t",
     "Double defining the end of the fraction of the rendered tube [0.0, 1.0]. (supported by: Splines)"},
    {"LineWidth", "line_width",
     "Width of a line (supported by: Graphs, Meshes, Splines)"},
    {"AsCrosshair", "as_crosshair",
     "Flag to show a point as a crosshair (supported by: Keypoints)"},
    {"PointSize", "point_size",
     "Size of a point (supported by: Keypoints, Graphs, PointClouds, Splines)"},
    {"LabelPixelOffset", "label_pixel_offset",
     "vec2 defining the offset of the label in pixels to the object (supported by: Keypoints)"},
    {"VisibilityOutline", "visibility_outline",
     "Outline visibility of objects (supported by: Meshes)"},
    {"ColorOutline", "color_outline",
     "Outline color of objects (supported by: Meshes)"},
    {"AlphaOutline", "alpha_outline",
     "Outline alpha of objects (supported by: Meshes)"},
    {"OutlineWidth", "outline_width",
     "Outline width of objects (supported by: Meshes)"},
    {"VisibilitySurface", "visibility_surface",
     "Flag to show the surface of objects (supported by: Meshes)"},
    {"ColorSurface", "color_surface",
     "Surface color of objects (supported by: Meshes)"},
    {"AlphaSurface", "alpha_surface",
     "Surface alpha of objects (supported by: Meshes)"},
    {"MaterialMode", "material_mode",
     "Material mode (of the surface) of objects (supported by: Meshes, Pointclouds)"},
    {"AmbientSurface", "ambient_surface",
     "Optional ambient RGB for mesh surface in uniform material mode; if unset, `color_surface` RGB is used (supported by: Meshes)"},
    {"DiffuseSurface", "diffuse_surface",
     "Optional diffuse RGB for mesh surface in uniform material mode; if unset, `color_surface` RGB is used (supported by: Meshes)"},
    {"SpecularSurface", "specular_surface",
     "Specular RGB for mesh surface in uniform material mode (supported by: Meshes)"},
    {"ShininessSurface", "shininess_surface",
     "Phong shininess for mesh surface in uniform material mode (supported by: Meshes)"},
    {"VisibilityCrossSection", "visibility_cross_section",
     "Flag to show the cross-section of objects (supported by: Meshes)"},
    {"ColorCrossSection", "color_cross_section",
     "Cross-section color of objects (supported by: Meshes)"},
    {"AlphaCrossSection", "alpha_cross_section",
     "Cross-section alpha of objects (supported by: Meshes)"},
    {"VisibilityWireframe", "visibility_wireframe",
     "Flag to show the wireframe of objects (supported by: Meshes)"},
    {"AlphaWireframe", "alpha_wireframe",
     "Wireframe alpha of objects (supported by: Meshes)"},
    {"ColorWireframe", "color_wireframe",
     "Wireframe color of objects (supported by: Meshes)"},
    {"VisibilityLine", "visibility_line",
     "Flag to show the lines of objects (supported by: Graphs, Meshes)"},
    {"ColorLine", "color_line",
     "Line color of objects (supported by: Graphs, Meshes)"},
    {"AlphaLine", "alpha_line",
     "Line alpha of objects (supported by: Graphs, Meshes)"},
    {"VisibilityPoint", "visibility_point",
     "Flag to show the points of objects (supported by: Graphs)"},
    {"ColorPoint", "color_point",
     "Point color of objects (supported by: Graphs)"},
    {"AlphaPoint", "alpha_point",
     "Point alpha of objects (supported by: Graphs)"},
    {"VisibilityCircleVisualization", "visibility_circle_visualization",
     "Flag to show circle visualization of objects (supported by: Graphs)"},
    {"ColorCircleVisualization", "color_circle_visualization",
     "Circle visualization color of objects (supported by: Graphs)"},
    {"AlphaCircleVisualization", "alpha_circle_visualization",
     "Circle visualization alpha of objects (supported by: Graphs)"},
    {"CircleVisualizationFeatureName", "circle_visualization_feature_name",
     "Edge feature used as the diameter of circular loops drawn around edges. (supported by: Graphs)"},
    {"LineBlendingEdgeFeatureName", "line_blending_edge_feature_name",
     "Edge feature used as the color channel of lines. The values from this edge feature are mapped to a color with a given colormap and shown on the graph. (supported by: Graphs)"},
    {"LineBlendingNodeFeatureName", "line_blending_node_feature_name",
     "Node feature used as the alpha channel of lines. The values from this node feature are mapped to a color with a given colormap and shown on the graph. (supported by: Graphs)"},
    {"OnlyDrawNontrivialNodes", "only_draw_nontrivial_nodes",
     "Only draw nodes that don't have degree 2. This is useful for skipping intermediate nodes. For directed graphs we consider the out-degree (supported by: Graphs)"},
    {"DrawDirectionOnLines", "draw_direction_on_lines",
     "For directed graphs, draw arrows to indicate direction of lines. (supported by: Graphs)"},
    {"ShowNodeLabels", "show_node_labels",
     "Flag to show the node labels for the graph. (supported by: Graphs)"},
    {"Colormap", "colormap",
     "Colormap to use for the graph. (supported by: Graphs)"},
    {"AllowObjectAttributesOverride", "allow_object_attributes_override",
     "Whether to allow values directly specified in the object attributes to override those coming from the style sheets, for selected attributes such as the 'color' attribute."},
}};

/// Builds a selector from an element or a list of them; the value is moved into the host.
template <typename Value>
std::unique_ptr<Selector> makeSelector(Value&& value)
{
    return std::make_unique<Selector>(std::forward<Value>(value));
}

/// The declarations callback seen from Python: the callable gets a Properties object of its own
/// (a copy of the block), which is written back when the callable returns. A block kept by the
/// callable afterwards therefore never reaches a rule that moved or went; it is just detached.
/// The callable may change the sheet list the sheet belongs to (add, remove or load sheets), which
/// can move or destroy the sheet: then the sheet is not touched again and the stale reference's
/// RuntimeError is raised instead.
StyleSheet::Declarations declarationsCallback(const py::function& callable, py::handle sheet)
{
    return [callable, sheet](Properties& block) {
        py::object handed = py::cast(Properties(block), py::return_value_policy::move);
        callable(handed);
        requireValidReference(sheet, movedSheetMessage);
        block = handed.cast<const Properties&>();
    };
}

using CheckedSheet = Checked<StyleSheet>;

constexpr std::string_view movedSheet = movedSheetMessage;

}  // namespace

void bindSelectorMethods(py::handle selectorElemClass, py::handle selectorClass)
{
    py::class_<SelectorElem, std::unique_ptr<SelectorElem>> element(py::reinterpret_borrow<py::object>(selectorElemClass));
    py::class_<Selector, std::unique_ptr<Selector>> selector(py::reinterpret_borrow<py::object>(selectorClass));

    element.def("__repr__", [](const SelectorElem& self) { return fmt::format("<SelectorElem, value='{}'>", self.str()); })
        .def("__or__", [](const SelectorElem& self, const std::variant<SelectorElem, Selector>& other) {
            // For a selector on the right, the same as other | self.
            if (const auto* otherElement = std::get_if<SelectorElem>(&other))
                return self || *otherElement;
            return std::get<Selector>(other) || self;
        }, py::is_operator())
        .def_static("parse", [](std::string_view text) { return SelectorElem::parse(text); });

    selector.def(py::init([](std::variant<SelectorElem, std::vector<SelectorElem>> value) {
            return std::visit([](auto&& alternative) { return makeSelector(std::move(alternative)); }, std::move(value));
        }))
        .def("__repr__", [](const Selector& self) { return fmt::format("<Selector, value='{}'>", self.str()); })
        .def("__or__", [](const Selector& self, const SelectorElem& other) { return self || other; }, py::is_operator())
        .def_static("parse", [](std::string_view text) { return Selector::parse(text); });
}

void bindStyleSheetMethods(py::handle styleSheetClass)
{
    py::class_<StyleSheet, std::unique_ptr<StyleSheet>> sheet(py::reinterpret_borrow<py::object>(styleSheetClass));
    sheet.def("__repr__", [](const CheckedSheet& self) {
            const StyleSheet& value = self.value(movedSheet);
            return fmt::format("<StyleSheet, name='{}', enabled='{}', size='{}'>", value.name.value(),
                               value.enabled.value() ? "true" : "false", value.rules.size());
        })
        .def(py::init<std::string>(), py::arg("name"), "Constructor that creates a single (empty) Style sheet.")
        .def_property("enabled", [](const CheckedSheet& self) { return self.value(movedSheet).enabled.value(); },
                      [](const CheckedSheet& self, bool value) { self.value(movedSheet).enabled = value; },
                      "True if the style sheet is enabled in the styling cascade.")
        .def_property("name", [](const CheckedSheet& self) { return self.value(movedSheet).name.value(); },
                      [](const CheckedSheet& self, const std::string& value) { self.value(movedSheet).name = value; },
                      "The name identifying the style sheet.")
        .def("append_or_modify", [](const CheckedSheet& self,
                                    const std::variant<std::optional<Selector>, std::string>& selector,
                                    const py::function& callback) {
            StyleSheet& sheet = self.value(movedSheet);
            if (const auto* given = std::get_if<std::optional<Selector>>(&selector))
                return sheet.appendOrModify(*given, declarationsCallback(callback, self));
            // A text that does not parse is handled exactly like None; the host names it in its warning.
            const std::string& text = std::get<std::string>(selector);
            return sheet.appendOrModify(Selector::parse(text), declarationsCallback(callback, self), text);
        }, "The declaration of a style rule identified by the selector is appended (if non-existent) or modified "
           "using the given callback.");
}

void bindStylePropertyEnumeration(py::module_& module)
{
    py::dict members;
    py::dict docs;
    for (const StylePropertyEntry& entry : stylePropertyTable) {
        const std::string name = toUpperSnake(entry.sourceName);
        members[py::str(name)] = py::str(entry.value.data(), entry.value.size());
        docs[py::str(name)] = py::str(entry.doc.data(), entry.doc.size());
    }
    py::module_ enumModule = py::module_::import("enum");
    py::object enumBase = enumModule.attr("Enum");
    py::object base;
    if (py::hasattr(enumModule, "StrEnum")) {
        base = enumModule.attr("StrEnum");
    } else {
        py::module_ builtins = py::module_::import("builtins");
        py::tuple bases = py::make_tuple(builtins.attr("str"), enumBase);
        py::object meta = enumModule.attr("EnumMeta");
        py::object ns = meta.attr("__prepare__")("StringEnum", bases);
        base = meta("StringEnum", bases, ns);
    }
    // The functional form takes its module from the calling frame, which here is the import
    // machinery's; named outright, the class and its members pickle and show where they live.
    py::object styleProperty = base("StyleProperty", members, py::arg("module") = module.attr("__name__"));
    styleProperty.attr("__doc__") = "Known style \"property-names\"";
    module.attr("StyleProperty") = styleProperty;
    for (const auto& [name, doc] : docs)
        styleProperty.attr(name).attr("__doc__") = doc;
}

}  // namespace corvaxis::binding_detail
