#include "corvaxis/anatomy/styling/StyleCascade.h"

#include <algorithm>
#include <array>
#include <map>

namespace corvaxis::AnatomyPlugin {

namespace {

// name, general, colour, overridable by the object's attributes
constexpr std::array<StylePropertyInfo, 49> properties{{
    {"visibility", "", false, true},
    {"color", "", true, true},
    {"alpha", "", false, true},
    {"show_label_text", "", false, false},
    {"show_label_text_debug", "", false, false},
    {"show_only_plane_normals", "", false, false},
    {"plane_normal_length", "", false, false},
    {"smooth_spline", "", false, false},
    {"tube_thickness", "", false, false},
    {"tube_end_t", "", false, false},
    {"line_width", "", false, false},
    {"as_crosshair", "", false, false},
    {"point_size", "", false, false},
    {"label_pixel_offset", "", false, false},
    {"visibility_outline", "visibility", false, true},
    {"color_outline", "color", true, true},
    {"alpha_outline", "alpha", false, true},
    {"outline_width", "", false, false},
    {"visibility_surface", "visibility", false, true},
    {"color_surface", "color", true, true},
    {"alpha_surface", "alpha", false, true},
    {"material_mode", "", false, false},
    {"ambient_surface", "color_surface", true, false},
    {"diffuse_surface", "color_surface", true, false},
    {"specular_surface", "", true, false},
    {"shininess_surface", "", false, false},
    {"visibility_cross_section", "visibility", false, true},
    {"color_cross_section", "color", true, true},
    {"alpha_cross_section", "alpha", false, true},
    {"visibility_wireframe", "visibility", false, true},
    {"alpha_wireframe", "alpha", false, true},
    {"color_wireframe", "color", true, true},
    {"visibility_line", "visibility", false, true},
    {"color_line", "color", true, true},
    {"alpha_line", "alpha", false, true},
    {"visibility_point", "visibility", false, true},
    {"color_point", "color", true, true},
    {"alpha_point", "alpha", false, true},
    {"visibility_circle_visualization", "visibility", false, true},
    {"color_circle_visualization", "color", true, true},
    {"alpha_circle_visualization", "alpha", false, true},
    {"circle_visualization_feature_name", "", false, false},
    {"line_blending_edge_feature_name", "", false, false},
    {"line_blending_node_feature_name", "", false, false},
    {"only_draw_nontrivial_nodes", "", false, false},
    {"draw_direction_on_lines", "", false, false},
    {"show_node_labels", "", false, false},
    {"colormap", "", false, false},
    {"allow_object_attributes_override", "", false, false},
}};

constexpr std::string_view overrideSwitch = "allow_object_attributes_override";

const StylePropertyInfo* findProperty(std::string_view name)
{
    for (const StylePropertyInfo& info : properties)
        if (info.name == name)
            return &info;
    return nullptr;
}

std::optional<int> hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return std::nullopt;
}

template <typename Vector>
bool inUnitRange(const Vector& vector)
{
    return (vector.array() >= 0.0).all() && (vector.array() <= 1.0).all();
}

/// The value a declaration contributes: colours checked and converted, other values as they are.
std::optional<Properties::Value> usableValue(std::string_view name, const Properties::Value& value)
{
    const StylePropertyInfo* info = findProperty(name);
    if (info && info->isColor)
        return readColor(value);
    return value;
}

/// A general colour given to a property that takes only RGB keeps its first three components.
Properties::Value inherited(const StylePropertyInfo& info, const Properties::Value& general)
{
    const bool rgbOnly = info.general == "color_surface";
    if (const Vec4* rgba = std::get_if<Vec4>(&general); rgbOnly && rgba)
        return Vec3(rgba->head<3>());
    return general;
}

}  // namespace

std::span<const StylePropertyInfo> knownStyleProperties() { return properties; }

std::optional<Properties::Value> readColor(const Properties::Value& value)
{
    if (const Vec3* rgb = std::get_if<Vec3>(&value))
        return inUnitRange(*rgb) ? std::optional<Properties::Value>(value) : std::nullopt;
    if (const Vec4* rgba = std::get_if<Vec4>(&value))
        return inUnitRange(*rgba) ? std::optional<Properties::Value>(value) : std::nullopt;
    const std::string* text = std::get_if<std::string>(&value);
    if (!text || (text->size() != 7 && text->size() != 9) || text->front() != '#')
        return std::nullopt;
    double components[4] = {0.0, 0.0, 0.0, 1.0};
    for (std::size_t i = 0; 1 + 2 * i < text->size(); ++i) {
        const std::optional<int> high = hexDigit((*text)[1 + 2 * i]);
        const std::optional<int> low = hexDigit((*text)[2 + 2 * i]);
        if (!high || !low)
            return std::nullopt;
        components[i] = (*high * 16 + *low) / 255.0;
    }
    if (text->size() == 7)
        return Vec3(components[0], components[1], components[2]);
    return Vec4(components[0], components[1], components[2], components[3]);
}

void StyleCascade::addSheet(const StyleSheet& sheet)
{
    if (!sheet.enabled)
        return;
    for (const StyleSheet::StyleRule& rule : sheet.rules) {
        CompiledRule compiled{rule.selector, {}};
        for (const Properties::Param& param : rule.declarations.params())
            // A value that cannot be used is no declaration: lower rules still apply.
            if (std::optional<Properties::Value> value = usableValue(param.name, param.value))
                compiled.declarations.emplace_back(param.name, std::move(*value));
        if (!compiled.declarations.empty() && !compiled.selector.elements.empty())
            m_rules.push_back(std::move(compiled));
    }
}

Properties StyleCascade::resolve(const StyledObject& object) const
{
    struct Match {
        Specificity specificity;
        std::size_t order;
    };
    std::vector<Match> matches;
    for (std::size_t i = 0; i < m_rules.size(); ++i)
        if (std::optional<Specificity> specificity = m_rules[i].selector.matchSpecificity(object))
            matches.push_back({*specificity, i});
    std::ranges::sort(matches, [](const Match& a, const Match& b) {
        return a.specificity != b.specificity ? a.specificity < b.specificity : a.order < b.order;
    });

    std::map<std::string, Properties::Value, std::less<>> values;
    for (const Match& match : matches)
        for (const auto& [name, value] : m_rules[match.order].declarations)
            values.insert_or_assign(name, value);

    bool allowOverride = false;
    if (auto it = values.find(overrideSwitch); it != values.end())
        if (const bool* flag = std::get_if<bool>(&it->second))
            allowOverride = *flag;
    if (allowOverride && object.attributes)
        for (const StylePropertyInfo& info : properties) {
            if (!info.objectMayOverride)
                continue;
            if (const Properties::Param* own = object.attributes->find(std::string(info.name)))
                if (std::optional<Properties::Value> value = usableValue(info.name, own->value))
                    values.insert_or_assign(std::string(info.name), std::move(*value));
        }

    Properties resolved;
    for (const StylePropertyInfo& info : properties) {
        const StylePropertyInfo* source = &info;
        auto found = values.find(source->name);
        while (found == values.end() && !source->general.empty()) {
            source = findProperty(source->general);
            found = values.find(source->name);
        }
        if (found != values.end())
            resolved.setParam(std::string(info.name), source == &info ? found->second : inherited(info, found->second));
    }
    for (const auto& [name, value] : values)
        if (!findProperty(name))
            resolved.setParam(name, value);
    return resolved;
}

}  // namespace corvaxis::AnatomyPlugin
