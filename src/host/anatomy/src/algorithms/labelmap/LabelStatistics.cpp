#include "LabelMapSteps.h"

#include "PixelDispatch.h"

#include "corvaxis/core/Threads.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>

namespace corvaxis::AnatomicalStructureProcessing::labelmap {

/// The threads that share the work: the process's computing threads, at most eight.
std::size_t threadBudget() { return static_cast<std::size_t>(std::clamp(computingThreads(), 1, 8)); }

namespace {

template <typename Pixel>
std::int32_t labelOf(Pixel value)
{
    if constexpr (std::is_floating_point_v<Pixel>) {
        if (!std::isfinite(value) || std::trunc(value) != value || value < static_cast<Pixel>(INT_MIN) ||
            value > static_cast<Pixel>(INT_MAX))
            throw NonIntegralValue{static_cast<double>(value)};
        return static_cast<std::int32_t>(value);
    }
    else if constexpr (std::is_same_v<Pixel, std::uint32_t>) {
        if (value > static_cast<std::uint32_t>(INT_MAX))
            throw NonIntegralValue{static_cast<double>(value)};
        return static_cast<std::int32_t>(value);
    }
    else
        return static_cast<std::int32_t>(value);
}

/// Every label's voxel count, index sum and bounding box (background excluded) over the slices
/// [zBegin, zEnd), run by run.
std::unordered_map<std::int32_t, LabelStatistics> gatherSlices(const Image& image, int zBegin, int zEnd)
{
    std::unordered_map<std::int32_t, LabelStatistics> labels;
    const auto [nx, ny, nz] = image.dimensions();
    dispatchPixels(image, [&](const auto* pixels) {
        for (int z = zBegin; z < zEnd; ++z)
            for (int y = 0; y < ny; ++y) {
                const auto* row = pixels + (static_cast<std::size_t>(z) * ny + y) * nx;
                int start = 0;
                while (start < nx) {
                    const auto value = row[start];
                    int end = start + 1;
                    while (end < nx && row[end] == value)
                        ++end;
                    const std::int32_t label = labelOf(value);
                    if (label != 0) {
                        LabelStatistics& statistics = labels[label];
                        const std::int64_t length = end - start;
                        statistics.count += length;
                        statistics.indexSum[0] += length * (start + end - 1) / 2;
                        statistics.indexSum[1] += length * y;
                        statistics.indexSum[2] += length * z;
                        statistics.lower = {std::min(statistics.lower[0], start), std::min(statistics.lower[1], y),
                                            std::min(statistics.lower[2], z)};
                        statistics.upper = {std::max(statistics.upper[0], end - 1), std::max(statistics.upper[1], y),
                                            std::max(statistics.upper[2], z)};
                    }
                    start = end;
                }
            }
    });
    return labels;
}

}  // namespace

void merge(LabelStatistics& into, const LabelStatistics& from)
{
    into.count += from.count;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        into.indexSum[axis] += from.indexSum[axis];
        into.lower[axis] = std::min(into.lower[axis], from.lower[axis]);
        into.upper[axis] = std::max(into.upper[axis], from.upper[axis]);
    }
}

// The figures are integers, so merging them gives the same result however the slabs are cut; a
// bad value is reported from the first slab that holds one, as a pass in order would.
std::unordered_map<std::int32_t, LabelStatistics> gatherLabels(const Image& image)
{
    const int nz = image.dimensions()[2];
    // Slabs of at least a million voxels, so that small images stay on the calling thread.
    const std::size_t slabs = std::clamp<std::size_t>(image.numPixels() >> 20, 1, std::min<std::size_t>(threadBudget(), nz));
    std::vector<std::unordered_map<std::int32_t, LabelStatistics>> found(slabs);
    std::vector<std::exception_ptr> errors(slabs);
    const auto gather = [&](std::size_t slab) {
        try {
            found[slab] = gatherSlices(image, static_cast<int>(nz * slab / slabs), static_cast<int>(nz * (slab + 1) / slabs));
        }
        catch (...) {
            errors[slab] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (std::size_t slab = 1; slab < slabs; ++slab)
        helpers.emplace_back(gather, slab);
    gather(0);
    for (auto& helper : helpers)
        helper.join();
    for (const auto& error : errors)
        if (error)
            std::rethrow_exception(error);
    for (std::size_t slab = 1; slab < slabs; ++slab)
        for (const auto& [label, statistics] : found[slab])
            merge(found[0][label], statistics);
    return std::move(found[0]);
}

}  // namespace corvaxis::AnatomicalStructureProcessing::labelmap
