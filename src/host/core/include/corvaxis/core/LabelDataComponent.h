#pragma once

#include "corvaxis/core/DataComponent.h"
#include "corvaxis/core/Types.h"

#include <map>
#include <optional>
#include <string>

namespace corvaxis {

class SharedImageSet;

/// How one label value of a label image is called and shown.
struct LabelConfig {
    std::string name;
    Vec4 color = Vec4(1.0, 1.0, 1.0, 1.0);
    bool visible = true;
    bool operator==(const LabelConfig&) const = default;
};

/// The names and colours of the label values of a label image.
class LabelDataComponent : public DataComponentBase {
public:
    /// The image set is only looked at, to know which labels it uses; it may be null.
    explicit LabelDataComponent(const SharedImageSet* labelImages = nullptr);

    std::string id() const override { return "LabelDataComponent"; }
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<LabelDataComponent>(*this); }
    void assign(const DataComponentBase& other) override;
    void configure(const Properties* properties) override;
    void configuration(Properties* properties) const override;

    /// The configuration a label gets when nobody set one: "Label N" and a colour of a fixed palette.
    static LabelConfig defaultLabelConfig(int label);
    void setLabelConfig(int label, LabelConfig config);
    /// The configuration set for a label, or its default.
    LabelConfig labelConfig(int label) const;
    const std::map<int, LabelConfig>& labelConfigs() const { return m_configs; }

private:
    std::map<int, LabelConfig> m_configs;
};

}  // namespace corvaxis
