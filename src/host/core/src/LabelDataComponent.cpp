#include "corvaxis/core/LabelDataComponent.h"

#include "corvaxis/core/Properties.h"

#include <array>
#include <string>

namespace corvaxis {

LabelDataComponent::LabelDataComponent(const SharedImageSet*) {}

void LabelDataComponent::assign(const DataComponentBase& other)
{
    if (const auto* labels = dynamic_cast<const LabelDataComponent*>(&other))
        m_configs = labels->m_configs;
}

LabelConfig LabelDataComponent::defaultLabelConfig(int label)
{
    static const std::array<Vec4, 6> palette = {
        Vec4(1.0, 0.0, 0.0, 1.0), Vec4(0.0, 1.0, 0.0, 1.0), Vec4(0.0, 0.0, 1.0, 1.0),
        Vec4(1.0, 1.0, 0.0, 1.0), Vec4(0.0, 1.0, 1.0, 1.0), Vec4(1.0, 0.0, 1.0, 1.0),
    };
    const auto index = static_cast<std::size_t>(label < 0 ? -label : label) % palette.size();
    return LabelConfig{"Label " + std::to_string(label), palette[index], true};
}

void LabelDataComponent::setLabelConfig(int label, LabelConfig config) { m_configs[label] = std::move(config); }

LabelConfig LabelDataComponent::labelConfig(int label) const
{
    const auto it = m_configs.find(label);
    return it == m_configs.end() ? defaultLabelConfig(label) : it->second;
}

void LabelDataComponent::configure(const Properties* properties)
{
    if (!properties)
        return;
    m_configs.clear();
    for (const Properties* block : properties->subPropertiesAll("Label")) {
        int value = 0;
        if (!block->param("value", value))
            continue;
        LabelConfig config = defaultLabelConfig(value);
        block->param("name", config.name);
        block->param("color", config.color);
        block->param("visible", config.visible);
        m_configs[value] = std::move(config);
    }
}

void LabelDataComponent::configuration(Properties* properties) const
{
    if (!properties)
        return;
    for (const auto& [value, config] : m_configs) {
        Properties* block = properties->addSubProperties("Label");
        block->setParam("value", value);
        block->setParam("name", config.name);
        block->setParam("color", config.color);
        block->setParam("visible", config.visible);
    }
}

}  // namespace corvaxis
