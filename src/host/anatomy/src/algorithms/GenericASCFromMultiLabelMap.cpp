#include "corvaxis/anatomy/algorithms/GenericASCFromMultiLabelMap.h"

#include "labelmap/LabelMapSteps.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/core/Log.h"

#include <fmt/format.h>

#include <climits>
#include <stdexcept>

namespace corvaxis::AnatomicalStructureProcessing {

using namespace labelmap;

GenericASCFromMultiLabelMap::GenericASCFromMultiLabelMap(const SharedImageSet* labelImages,
                                                         AnatomicalStructureCollection* target,
                                                         const LabelDataComponent* labels)
    : m_labelImages(labelImages), m_target(target), m_labels(labels)
{
    p_surface.setAllowedValues({Surface::Smooth, Surface::Voxel});
    p_decimate.setRequirement("in (0, 1]", [](double share) { return share > 0.0 && share <= 1.0; });
}

const char* GenericASCFromMultiLabelMap::surfaceName(Surface kind) { return kind == Surface::Voxel ? "voxel" : "smooth"; }

void GenericASCFromMultiLabelMap::fail(Run& run, int status, const std::string& message)
{
    logAt(Log::Warning, message);
    run.fail(status, message);
}

const Image* GenericASCFromMultiLabelMap::checkedInput(Run& run)
{
    const Image* image = m_labelImages ? m_labelImages->get(-1) : nullptr;
    if (!image)
        fail(run, InvalidInput, "GenericASCFromMultiLabelMap: no label image");
    else if (image->channels() != 1)
        fail(run, InvalidInput, "GenericASCFromMultiLabelMap: a label image has a single channel");
    // Voxel counts and vertex numbers are 32-bit.
    else if (image->numPixels() > static_cast<std::size_t>(INT_MAX))
        fail(run, InvalidInput,
             fmt::format("GenericASCFromMultiLabelMap: a label image of {} voxels is too large for 32-bit indices",
                         image->numPixels()));
    else
        return image;
    return nullptr;
}

void GenericASCFromMultiLabelMap::compute()
{
    Run run(*this, "GenericASCFromMultiLabelMap");
    const Image* image = checkedInput(run);
    if (!image || !run.proceed(0.0, "Finding labels"))
        return;

    std::unordered_map<std::int32_t, LabelStatistics> found;
    try {
        found = gatherLabels(*image);
    }
    catch (const NonIntegralValue& bad) {
        return fail(run, InvalidInput,
                    fmt::format("GenericASCFromMultiLabelMap: the label image holds the value {}, "
                                "which is not a 32-bit integer label",
                                bad.value));
    }
    const std::vector<StructurePlan> plans = planStructures(found, m_labels, p_includeUnnamedLabels, image->labelColors);
    if (!run.proceed(0.1, "Meshing labels"))
        return;

    const Mat4 voxelToWorld = m_labelImages->voxelToWorld(-1);
    std::vector<surface::TriangleSurface> surfaces;
    try {
        surfaces = meshStructures(*image, voxelToWorld, plans, {p_surface, p_decimate},
                                  [&run](double fraction) { return run.proceed(0.1 + 0.9 * fraction, "Meshing labels"); });
    }
    catch (const std::exception& error) {
        return fail(run, Error, error.what());
    }
    if (surfaces.size() != plans.size())
        return run.fail(Cancelled, {});
    if (!run.proceed(1.0, "Meshing labels"))
        return;

    if (!deliver(run, assembleStructures(plans, std::move(surfaces), voxelToWorld, p_surface, mutableResults())))
        return;
    mutableResults().setParam("labels_found", static_cast<int>(found.size()));
    run.succeed();
}

bool GenericASCFromMultiLabelMap::deliver(Run& run, std::vector<std::unique_ptr<AnatomicalStructure>> structures)
{
    if (m_target) {
        std::vector<AnatomicalStructure*> added;
        for (auto& structure : structures) {
            AnatomicalStructure* pointer = structure.get();
            if (!m_target->addAnatomicalStructure(structure)) {
                for (AnatomicalStructure* previous : added)
                    m_target->takeAnatomicalStructure(previous);
                fail(run, InvalidInput, "GenericASCFromMultiLabelMap: the target collection refused a structure");
                return false;
            }
            added.push_back(pointer);
        }
    }
    else {
        auto collection = std::make_unique<GenericASC>(false);
        for (auto& structure : structures)
            collection->addAnatomicalStructure(structure);
        output().add(std::move(collection));
    }
    return true;
}

}  // namespace corvaxis::AnatomicalStructureProcessing
