#pragma once

#include "corvaxis/anatomy/styling/Selector.h"
#include "corvaxis/anatomy/styling/StyleSheet.h"
#include "corvaxis/core/Properties.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvaxis::AnatomyPlugin {

/// A known style property: its name and the more general property it falls back to when no
/// rule sets it (empty for the general ones).
struct StylePropertyInfo {
    std::string_view name;
    std::string_view general;
    bool isColor;
    /// Whether an object's own attribute of this name may override the sheets.
    bool objectMayOverride;
};

/// The style properties the styling knows, in the order of the StyleProperty enumeration.
std::span<const StylePropertyInfo> knownStyleProperties();

/// A colour declaration as a 3- or 4-vector with every component in [0, 1]. Vectors are taken as
/// they are; texts "#rrggbb" and "#rrggbbaa" (hexadecimal digits of either case) are converted.
/// Nothing for anything else, so that a bad colour never reaches a renderer.
std::optional<Properties::Value> readColor(const Properties::Value& value);

/// The rules of a list of style sheets, flattened once so that many objects can be resolved
/// cheaply. It copies what it needs; the sheets may change or go afterwards.
///
/// Effective values: among the rules of the enabled sheets whose selector matches the object, the
/// more specific selector wins, and at equal specificity the later rule (later sheet, later rule
/// in a sheet). Then, when allow_object_attributes_override is true, the object's own attributes
/// of the overridable properties win. Last, a property still unset takes the value of its general
/// property (color_surface from color, ambient_surface from color_surface, ...).
class StyleCascade {
public:
    StyleCascade() = default;
    template <typename SheetRange>
    explicit StyleCascade(const SheetRange& sheets)
    {
        for (const StyleSheet& sheet : sheets)
            addSheet(sheet);
    }

    /// The effective properties of one object, known properties in enumeration order, then the
    /// others by name.
    Properties resolve(const StyledObject& object) const;

    std::size_t numRules() const { return m_rules.size(); }

private:
    struct CompiledRule {
        Selector selector;
        std::vector<std::pair<std::string, Properties::Value>> declarations;
    };
    void addSheet(const StyleSheet& sheet);

    std::vector<CompiledRule> m_rules;
};

}  // namespace corvaxis::AnatomyPlugin
