#include "LabelMapSteps.h"

#include "PixelDispatch.h"

#include "corvaxis/core/Log.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

namespace corvaxis::AnatomicalStructureProcessing::labelmap {

void logAt(int level, const std::string& message)
{
    Log::logIfAccepted(level, GenericASCFromMultiLabelMap::logCategory, [&] { return message; });
}

std::vector<StructurePlan> planStructures(const std::unordered_map<std::int32_t, LabelStatistics>& found,
                                          const LabelDataComponent* labels, bool includeUnnamedLabels,
                                          const std::map<int, Vec4>& imageColors)
{
    // Structures by name, in ascending order of their smallest label.
    std::vector<std::int32_t> present;
    for (const auto& [label, statistics] : found)
        present.push_back(label);
    std::sort(present.begin(), present.end());
    std::vector<StructurePlan> plans;
    std::map<std::string, std::size_t> planOfName;
    for (std::int32_t label : present) {
        const bool named = labels && labels->labelConfigs().contains(label);
        if (!named && !includeUnnamedLabels)
            continue;
        LabelConfig config = labels ? labels->labelConfig(label) : LabelDataComponent::defaultLabelConfig(label);
        const auto given = imageColors.find(label);
        if (given != imageColors.end() && config.color == LabelDataComponent::defaultLabelConfig(label).color)
            config.color = given->second;
        const auto [it, isNew] = planOfName.try_emplace(config.name, plans.size());
        if (isNew)
            plans.push_back({config.name, {}, {}, config});
        StructurePlan& plan = plans[it->second];
        plan.labels.push_back(label);
        merge(plan.statistics, found.at(label));
    }
    if (labels)
        for (const auto& [label, config] : labels->labelConfigs()) {
            if (label == 0)
                logAt(Log::Info, fmt::format("GenericASCFromMultiLabelMap: label 0 ('{}') is the background and "
                                             "becomes no structure",
                                             config.name));
            else if (!found.contains(label))
                logAt(Log::Info, fmt::format("GenericASCFromMultiLabelMap: label {} ('{}') does not occur in the "
                                             "label image",
                                             label, config.name));
        }
    return plans;
}

surface::BinaryMask maskOf(const Image& image, const StructurePlan& plan, const std::function<void(double)>& progress)
{
    const auto& [lower, upper] = std::pair(plan.statistics.lower, plan.statistics.upper);
    surface::BinaryMask mask;
    mask.dimensions = {upper[0] - lower[0] + 1, upper[1] - lower[1] + 1, upper[2] - lower[2] + 1};
    mask.inside.resize(static_cast<std::size_t>(mask.dimensions[0]) * mask.dimensions[1] * mask.dimensions[2]);
    const auto [nx, ny, nz] = image.dimensions();
    (void)nz;
    dispatchPixels(image, [&](const auto* pixels) {
        using Pixel = std::remove_cvref_t<decltype(*pixels)>;
        std::vector<Pixel> values;
        for (std::int32_t label : plan.labels)
            values.push_back(static_cast<Pixel>(label));
        std::size_t out = 0;
        for (int z = lower[2]; z <= upper[2]; ++z) {
            progress(static_cast<double>(z - lower[2]) / static_cast<double>(upper[2] - lower[2] + 1));
            for (int y = lower[1]; y <= upper[1]; ++y) {
                const auto* row = pixels + (static_cast<std::size_t>(z) * ny + y) * nx;
                for (int x = lower[0]; x <= upper[0]; ++x) {
                    const Pixel value = row[x];
                    mask.inside[out++] = values.size() == 1
                                             ? value == values[0]
                                             : std::find(values.begin(), values.end(), value) != values.end();
                }
            }
        }
    });
    return mask;
}


std::function<std::int32_t(int, int, int)> structureLookup(const Image& image, const std::vector<StructurePlan>& plans)
{
    auto structureOfLabel = std::make_shared<std::unordered_map<std::int32_t, std::int32_t>>();
    for (std::size_t index = 0; index < plans.size(); ++index)
        for (std::int32_t label : plans[index].labels)
            (*structureOfLabel)[label] = static_cast<std::int32_t>(index);
    const auto [nx, ny, nz] = image.dimensions();
    (void)nz;
    return [&image, structureOfLabel, nx, ny](int x, int y, int z) {
        std::int32_t label = 0;
        // Values were checked to be 32-bit integers when the labels were gathered.
        dispatchPixels(image, [&](const auto* pixels) {
            label = static_cast<std::int32_t>(pixels[(static_cast<std::size_t>(z) * ny + y) * nx + x]);
        });
        const auto it = structureOfLabel->find(label);
        return it == structureOfLabel->end() ? surface::outsideRegion : it->second;
    };
}

}  // namespace corvaxis::AnatomicalStructureProcessing::labelmap
