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
}

const char* GenericASCFromMultiLabelMap::surfaceName(Surface kind) { return kind == Surface::Voxel ? "voxel" : "smooth"; }

void GenericASCFromMultiLabelMap::fail(int status, const std::string& message)
{
    setStatus(status, message);
    logAt(Log::Warning, message);
}

const Image* GenericASCFromMultiLabelMap::checkedInput()
{
    if (p_surface.rawValue() != static_cast<int>(Surface::Smooth) && p_surface.rawValue() != static_cast<int>(Surface::Voxel)) {
        fail(InvalidInput, fmt::format("GenericASCFromMultiLabelMap: surface must be 0 (smooth) or 1 (voxel), not {}",
                                       p_surface.rawValue()));
        return nullptr;
    }
    if (!(p_decimate.value() > 0.0 && p_decimate.value() <= 1.0)) {
        fail(InvalidInput, fmt::format("GenericASCFromMultiLabelMap: decimate must lie in (0, 1], not {}", p_decimate.value()));
        return nullptr;
    }
    const Image* image = m_labelImages ? m_labelImages->get(-1) : nullptr;
    if (!image)
        fail(InvalidInput, "GenericASCFromMultiLabelMap: no label image");
    else if (image->channels() != 1)
        fail(InvalidInput, "GenericASCFromMultiLabelMap: a label image has a single channel");
    // Voxel counts and vertex numbers are 32-bit.
    else if (image->numPixels() > static_cast<std::size_t>(INT_MAX))
        fail(InvalidInput, fmt::format("GenericASCFromMultiLabelMap: a label image of {} voxels is too large "
                                       "for 32-bit indices",
                                       image->numPixels()));
    else
        return image;
    return nullptr;
}

void GenericASCFromMultiLabelMap::compute()
{
    setStatus(Unknown);
    mutableResults() = Properties("results");
    takeOutput();

    const Image* image = checkedInput();
    if (!image)
        return;
    if (!reportProgress(0.0, "Finding labels"))
        return setStatus(Cancelled, "cancelled");

    std::unordered_map<std::int32_t, LabelStatistics> found;
    try {
        found = gatherLabels(*image);
    }
    catch (const NonIntegralValue& bad) {
        return fail(InvalidInput, fmt::format("GenericASCFromMultiLabelMap: the label image holds the value {}, "
                                              "which is not a 32-bit integer label",
                                              bad.value));
    }
    const std::vector<StructurePlan> plans = planStructures(found, m_labels, p_includeUnnamedLabels);
    if (!reportProgress(0.1, "Meshing labels"))
        return setStatus(Cancelled, "cancelled");

    const Mat4 voxelToWorld = m_labelImages->voxelToWorld(-1);
    std::vector<surface::TriangleSurface> surfaces;
    try {
        surfaces = meshStructures(*image, voxelToWorld, plans, {p_surface, p_decimate}, [&](double fraction) {
            return reportProgress(0.1 + 0.9 * fraction, "Meshing labels");
        });
    }
    catch (const std::exception& error) {
        return fail(Error, error.what());
    }
    if (surfaces.size() != plans.size() || !reportProgress(1.0, "Meshing labels"))
        return setStatus(Cancelled, "cancelled");

    deliver(assembleStructures(plans, std::move(surfaces), voxelToWorld, p_surface, mutableResults()));
    mutableResults().setParam("labels_found", static_cast<int>(found.size()));
}

void GenericASCFromMultiLabelMap::deliver(std::vector<std::unique_ptr<AnatomicalStructure>> structures)
{
    if (m_target) {
        std::vector<AnatomicalStructure*> added;
        for (auto& structure : structures) {
            AnatomicalStructure* pointer = structure.get();
            if (!m_target->addAnatomicalStructure(structure)) {
                for (AnatomicalStructure* previous : added)
                    m_target->takeAnatomicalStructure(previous);
                return fail(InvalidInput, "GenericASCFromMultiLabelMap: the target collection refused a structure");
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
    setStatus(Success);
}

}  // namespace corvaxis::AnatomicalStructureProcessing
