#include "corvaxis/anatomy/algorithms/GenericASCFromMultiLabelMap.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/Log.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/LU>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace corvaxis::AnatomicalStructureProcessing {

namespace {

/// What the single pass over the image gathers per label value.
struct LabelStatistics {
    std::int64_t count = 0;
    std::array<std::int64_t, 3> indexSum{};
    std::array<int, 3> lower{INT_MAX, INT_MAX, INT_MAX};
    std::array<int, 3> upper{-1, -1, -1};
};

/// A label image value that is not a 32-bit integer.
struct NonIntegralValue {
    double value;
};

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

template <typename Function>
void dispatchPixels(const Image& image, Function&& function)
{
    switch (image.pixelType()) {
    case PixelType::UInt8: function(reinterpret_cast<const std::uint8_t*>(image.data())); break;
    case PixelType::Int8: function(reinterpret_cast<const std::int8_t*>(image.data())); break;
    case PixelType::UInt16: function(reinterpret_cast<const std::uint16_t*>(image.data())); break;
    case PixelType::Int16: function(reinterpret_cast<const std::int16_t*>(image.data())); break;
    case PixelType::UInt32: function(reinterpret_cast<const std::uint32_t*>(image.data())); break;
    case PixelType::Int32: function(reinterpret_cast<const std::int32_t*>(image.data())); break;
    case PixelType::Float: function(reinterpret_cast<const float*>(image.data())); break;
    case PixelType::Double: function(reinterpret_cast<const double*>(image.data())); break;
    }
}

/// The threads that share the work: the machine's, at most eight.
std::size_t threadBudget() { return std::max(1u, std::min(8u, std::thread::hardware_concurrency())); }

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

void merge(LabelStatistics& into, const LabelStatistics& from)
{
    into.count += from.count;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        into.indexSum[axis] += from.indexSum[axis];
        into.lower[axis] = std::min(into.lower[axis], from.lower[axis]);
        into.upper[axis] = std::max(into.upper[axis], from.upper[axis]);
    }
}

/// One pass over the image, its slabs of slices shared among threads. The figures are integers,
/// so merging them gives the same result however the slabs are cut; a bad value is reported from
/// the first slab that holds one, as a pass in order would.
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

/// The labels that make one structure.
struct StructurePlan {
    std::string name;
    std::vector<std::int32_t> labels;  // ascending
    LabelStatistics statistics;        // merged over the labels
    LabelConfig config;                // of the smallest label
};

/// The voxels of the plan's labels within its bounding box.
surface::BinaryMask maskOf(const Image& image, const StructurePlan& plan)
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
        for (int z = lower[2]; z <= upper[2]; ++z)
            for (int y = lower[1]; y <= upper[1]; ++y) {
                const auto* row = pixels + (static_cast<std::size_t>(z) * ny + y) * nx;
                for (int x = lower[0]; x <= upper[0]; ++x) {
                    const Pixel value = row[x];
                    mask.inside[out++] = values.size() == 1
                                             ? value == values[0]
                                             : std::find(values.begin(), values.end(), value) != values.end();
                }
            }
    });
    return mask;
}

void logAt(int level, const std::string& message)
{
    Log::logIfAccepted(level, GenericASCFromMultiLabelMap::logCategory, [&] { return message; });
}

}  // namespace

GenericASCFromMultiLabelMap::GenericASCFromMultiLabelMap(const SharedImageSet* labelImages,
                                                         AnatomicalStructureCollection* target,
                                                         const LabelDataComponent* labels)
    : m_labelImages(labelImages), m_target(target), m_labels(labels)
{
}

void GenericASCFromMultiLabelMap::fail(int status, const std::string& message)
{
    setStatus(status, message);
    logAt(Log::Warning, message);
}

void GenericASCFromMultiLabelMap::compute()
{
    setStatus(Unknown);
    mutableResults() = Properties("results");
    takeOutput();

    const Image* image = m_labelImages ? m_labelImages->get(-1) : nullptr;
    if (!image)
        return fail(InvalidInput, "GenericASCFromMultiLabelMap: no label image");
    if (image->channels() != 1)
        return fail(InvalidInput, "GenericASCFromMultiLabelMap: a label image has a single channel");
    // Voxel counts and vertex numbers are 32-bit.
    if (image->numPixels() > static_cast<std::size_t>(INT_MAX))
        return fail(InvalidInput, fmt::format("GenericASCFromMultiLabelMap: a label image of {} voxels is too large "
                                              "for 32-bit indices",
                                              image->numPixels()));
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

    // Structures by name, in ascending order of their smallest label.
    std::vector<std::int32_t> present;
    for (const auto& [label, statistics] : found)
        present.push_back(label);
    std::sort(present.begin(), present.end());
    std::vector<StructurePlan> plans;
    std::map<std::string, std::size_t> planOfName;
    for (std::int32_t label : present) {
        const bool named = m_labels && m_labels->labelConfigs().contains(label);
        if (!named && !p_includeUnnamedLabels.value())
            continue;
        LabelConfig config = m_labels ? m_labels->labelConfig(label) : LabelDataComponent::defaultLabelConfig(label);
        // The colour a segmentation file gives its label replaces a default one.
        const auto given = image->labelColors.find(label);
        if (given != image->labelColors.end() && config.color == LabelDataComponent::defaultLabelConfig(label).color)
            config.color = given->second;
        const auto [it, isNew] = planOfName.try_emplace(config.name, plans.size());
        if (isNew)
            plans.push_back({config.name, {}, {}, config});
        StructurePlan& plan = plans[it->second];
        plan.labels.push_back(label);
        merge(plan.statistics, found.at(label));
    }
    if (m_labels)
        for (const auto& [label, config] : m_labels->labelConfigs()) {
            if (label == 0)
                logAt(Log::Info, fmt::format("GenericASCFromMultiLabelMap: label 0 ('{}') is the background and "
                                             "becomes no structure",
                                             config.name));
            else if (!found.contains(label))
                logAt(Log::Info, fmt::format("GenericASCFromMultiLabelMap: label {} ('{}') does not occur in the "
                                             "label image",
                                             label, config.name));
        }
    if (!reportProgress(0.1, "Meshing labels"))
        return setStatus(Cancelled, "cancelled");

    // Each structure is meshed on its own box by a worker; the calling thread reports progress.
    const Mat4 voxelToWorld = m_labelImages->voxelToWorld(-1);
    std::vector<surface::TriangleSurface> surfaces(plans.size());
    std::vector<std::exception_ptr> errors(plans.size());
    // The largest boxes first, so that the last one started is small and no worker is left
    // alone with a large one; each surface depends only on its own box, whatever the order.
    std::vector<std::size_t> order(plans.size());
    for (std::size_t index = 0; index < order.size(); ++index)
        order[index] = index;
    const auto boxVoxels = [&](std::size_t index) {
        const LabelStatistics& statistics = plans[index].statistics;
        std::int64_t voxels = 1;
        for (std::size_t axis = 0; axis < 3; ++axis)
            voxels *= statistics.upper[axis] - statistics.lower[axis] + 1;
        return voxels;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return boxVoxels(a) > boxVoxels(b); });
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finishedOne;
    std::size_t finished = 0;
    const auto work = [&] {
        for (std::size_t position; !stop && (position = next++) < plans.size();) {
            const std::size_t index = order[position];
            try {
                const StructurePlan& plan = plans[index];
                Mat4 boxToWorld = voxelToWorld;
                boxToWorld.col(3) = voxelToWorld * Vec4(plan.statistics.lower[0], plan.statistics.lower[1],
                                                        plan.statistics.lower[2], 1.0);
                surfaces[index] = surface::extractSurface(maskOf(*image, plan), boxToWorld);
            }
            catch (...) {
                errors[index] = std::current_exception();
            }
            const std::lock_guard lock(mutex);
            ++finished;
            finishedOne.notify_one();
        }
    };
    const std::size_t workerCount =
        std::min<std::size_t>(plans.size(), threadBudget());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < workerCount; ++i)
        workers.emplace_back(work);
    bool cancelled = false;
    {
        std::unique_lock lock(mutex);
        for (std::size_t reported = 0; reported < plans.size() && !cancelled;) {
            finishedOne.wait(lock, [&] { return finished > reported; });
            reported = finished;
            lock.unlock();
            if (!reportProgress(0.1 + 0.9 * static_cast<double>(reported) / static_cast<double>(plans.size()),
                                "Meshing labels")) {
                cancelled = true;
                stop = true;
            }
            lock.lock();
        }
    }
    for (auto& worker : workers)
        worker.join();
    if (cancelled)
        return setStatus(Cancelled, "cancelled");
    for (std::size_t index = 0; index < plans.size(); ++index)
        if (errors[index]) {
            try {
                std::rethrow_exception(errors[index]);
            }
            catch (const std::exception& error) {
                return fail(Error, fmt::format("GenericASCFromMultiLabelMap: meshing '{}' failed: {}",
                                               plans[index].name, error.what()));
            }
        }

    const double voxelVolume = std::abs(voxelToWorld.topLeftCorner<3, 3>().determinant());
    std::vector<std::unique_ptr<AnatomicalStructure>> structures;
    for (std::size_t index = 0; index < plans.size(); ++index) {
        const StructurePlan& plan = plans[index];
        const LabelStatistics& statistics = plan.statistics;
        const double count = static_cast<double>(statistics.count);
        const Vec4 centroid = voxelToWorld * Vec4(static_cast<double>(statistics.indexSum[0]) / count,
                                                  static_cast<double>(statistics.indexSum[1]) / count,
                                                  static_cast<double>(statistics.indexSum[2]) / count, 1.0);
        auto structure = std::make_unique<GenericAnatomicalStructure>(plan.name);
        structure->keypoints["centroid"] = centroid.head<3>();
        auto mesh = std::make_unique<Mesh>(std::move(surfaces[index].vertices), std::move(surfaces[index].faces));
        const double enclosed = surface::enclosedVolume(mesh->vertices(), mesh->faces());
        structure->meshes["surface"] = std::move(mesh);
        Properties& attributes = structure->meshes["surface"].editAttributes();
        attributes.setParam("label", static_cast<int>(plan.labels.front()));
        attributes.setParam("voxel_count", static_cast<int>(statistics.count));
        attributes.setParam("volume", count * voxelVolume);
        attributes.setParam("color", plan.config.color);

        Properties* figures = mutableResults().addSubProperties("structures");
        figures->setParam("name", plan.name);
        figures->setParam("label", static_cast<int>(plan.labels.front()));
        figures->setParam("voxel_count", static_cast<int>(statistics.count));
        figures->setParam("volume", count * voxelVolume);
        figures->setParam("mesh_volume", enclosed);
        figures->setParam("triangles", static_cast<int>(structure->meshes["surface"].value()->numFaces()));
        structures.push_back(std::move(structure));
    }
    mutableResults().setParam("labels_found", static_cast<int>(present.size()));

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
