#include "LabelMapSteps.h"

#include "corvaxis/core/surface/Decimation.h"
#include "corvaxis/core/surface/ReportedWork.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

namespace corvaxis::AnatomicalStructureProcessing::labelmap {

namespace {

using Surface = GenericASCFromMultiLabelMap::Surface;

/// Runs the work for every plan on worker threads, the largest boxes first, while the calling
/// thread reports progress (weighted by the plans' box sizes) and can stop the workers within
/// one hook call. False when stopped; rethrows a worker's failure naming the structure.
bool forEachPlanInParallel(const std::vector<StructurePlan>& plans, const surface::ItemWork& meshOne,
                           const std::function<bool(double)>& progress)
{
    // The largest boxes first, so that the last one started is small and no worker is left
    // alone with a large one; each surface depends only on its own box, whatever the order.
    std::vector<std::size_t> order(plans.size());
    std::vector<double> weight(plans.size());
    for (std::size_t index = 0; index < order.size(); ++index) {
        order[index] = index;
        const LabelStatistics& statistics = plans[index].statistics;
        weight[index] = 1.0;
        for (std::size_t axis = 0; axis < 3; ++axis)
            weight[index] *= static_cast<double>(statistics.upper[axis] - statistics.lower[axis] + 1);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return weight[a] > weight[b]; });

    std::vector<std::exception_ptr> errors;
    if (!surface::runReportingProgress(order, weight, threadBudget(), meshOne, progress, errors))
        return false;
    for (std::size_t index = 0; index < plans.size(); ++index)
        if (errors[index]) {
            try {
                std::rethrow_exception(errors[index]);
            }
            catch (const std::exception& error) {
                throw std::runtime_error(
                    fmt::format("GenericASCFromMultiLabelMap: meshing '{}' failed: {}", plans[index].name, error.what()));
            }
        }
    return true;
}

/// The mapping from a plan's box voxel indices to world coordinates.
Mat4 boxToWorld(const Mat4& voxelToWorld, const StructurePlan& plan)
{
    Mat4 mapping = voxelToWorld;
    mapping.col(3) = voxelToWorld * Vec4(plan.statistics.lower[0], plan.statistics.lower[1], plan.statistics.lower[2], 1.0);
    return mapping;
}

/// The voxel surfaces of all plans; empty when stopped.
std::vector<surface::TriangleSurface> voxelSurfaces(const Image& image, const Mat4& voxelToWorld,
                                                    const std::vector<StructurePlan>& plans,
                                                    const MeshingProgress& progress)
{
    std::vector<surface::TriangleSurface> surfaces(plans.size());
    const bool done = forEachPlanInParallel(plans, [&](std::size_t index, const std::function<void(double)>& hook) {
        const surface::BinaryMask mask = maskOf(image, plans[index], [&](double fraction) { hook(0.5 * fraction); });
        surfaces[index] = surface::extractSurface(mask, boxToWorld(voxelToWorld, plans[index]),
                                                  [&](double fraction) { hook(0.5 + 0.5 * fraction); });
    }, progress);
    return done ? std::move(surfaces) : std::vector<surface::TriangleSurface>{};
}

/// The smooth surfaces of all plans: the nets of all structures, smoothed together so that
/// touching structures share their interface; empty when stopped.
std::vector<surface::TriangleSurface> smoothSurfaces(const Image& image, const Mat4& voxelToWorld,
                                                     const std::vector<StructurePlan>& plans,
                                                     const MeshingProgress& progress)
{
    constexpr double netShare = 0.6;
    std::vector<surface::SurfaceNet> nets(plans.size());
    const auto regionOf = structureLookup(image, plans);
    const auto [nx, ny, nz] = image.dimensions();
    const bool done = forEachPlanInParallel(plans, [&](std::size_t index, const std::function<void(double)>& hook) {
        const StructurePlan& plan = plans[index];
        // Copying the mask is the smaller part of the work.
        const surface::BinaryMask mask = maskOf(image, plan, [&](double fraction) { hook(0.2 * fraction); });
        nets[index] = surface::extractSurfaceNet(mask, boxToWorld(voxelToWorld, plan), {{nx, ny, nz}, plan.statistics.lower},
                                                 regionOf, [&](double fraction) { hook(0.2 + 0.8 * fraction); });
    }, [&](double fraction) { return progress(netShare * fraction); });
    if (!done)
        return {};
    const double voxelVolume = std::abs(voxelToWorld.topLeftCorner<3, 3>().determinant());
    std::vector<double> volumes;
    for (const StructurePlan& plan : plans)
        volumes.push_back(static_cast<double>(plan.statistics.count) * voxelVolume);
    return surface::smoothSurfaceNets(nets, volumes, {}, [&](double fraction) {
        return progress(netShare + (1.0 - netShare) * fraction);
    });
}

}  // namespace

std::vector<surface::TriangleSurface> meshStructures(const Image& image, const Mat4& voxelToWorld,
                                                     const std::vector<StructurePlan>& plans,
                                                     const SurfaceSettings& settings, const MeshingProgress& progress)
{
    const double meshingShare = settings.decimate < 1.0 ? 0.5 : 1.0;
    const auto meshingProgress = [&](double fraction) { return progress(meshingShare * fraction); };
    std::vector<surface::TriangleSurface> surfaces = settings.kind == Surface::Voxel
                                                         ? voxelSurfaces(image, voxelToWorld, plans, meshingProgress)
                                                         : smoothSurfaces(image, voxelToWorld, plans, meshingProgress);
    if (settings.decimate >= 1.0 || surfaces.size() != plans.size())
        return surfaces;
    const bool done = forEachPlanInParallel(plans, [&](std::size_t index, const std::function<void(double)>& hook) {
        surfaces[index] = surface::decimate(surfaces[index], settings.decimate, hook);
    }, [&](double fraction) { return progress(meshingShare + (1.0 - meshingShare) * fraction); });
    return done ? std::move(surfaces) : std::vector<surface::TriangleSurface>{};
}

}  // namespace corvaxis::AnatomicalStructureProcessing::labelmap
