#pragma once

#include "corvaxis/core/Parameter.h"

#include <string>

namespace corvaxis::AnatomyPlugin {

/// A named group of style rules that takes part in styling while it is enabled.
class StyleSheet : public Configurable {
public:
    explicit StyleSheet(std::string sheetName = {}) : name("name", std::move(sheetName), this) {}
    StyleSheet(const StyleSheet& other) : Configurable(other), enabled(other.enabled), name(other.name)
    {
        enabled.setParentFromCopy(this);
        name.setParentFromCopy(this);
    }
    StyleSheet& operator=(const StyleSheet& other)
    {
        enabled = other.enabled;
        name = other.name;
        return *this;
    }

    Parameter<bool> enabled{"enabled", true, this};
    Parameter<std::string> name;
};

}  // namespace corvaxis::AnatomyPlugin
