#pragma once

// The steps of GenericASCFromMultiLabelMap::compute, one concern per file.

#include "corvaxis/anatomy/AnatomicalStructure.h"
#include "corvaxis/anatomy/algorithms/GenericASCFromMultiLabelMap.h"
#include "corvaxis/core/surface/SurfaceNet.h"

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvaxis::AnatomicalStructureProcessing::labelmap {

// --- LabelStatistics.cpp: one pass over the image

/// What the single pass over the image gathers per label value.
struct LabelStatistics {
    std::int64_t count = 0;
    std::array<std::int64_t, 3> indexSum{};
    std::array<int, 3> lower{INT_MAX, INT_MAX, INT_MAX};
    std::array<int, 3> upper{-1, -1, -1};
};

void merge(LabelStatistics& into, const LabelStatistics& from);

/// A label image value that is not a 32-bit integer.
struct NonIntegralValue {
    double value;
};

/// Every label's voxel count, index sum and bounding box (background excluded), the image's
/// slabs of slices shared among threads. Throws NonIntegralValue.
std::unordered_map<std::int32_t, LabelStatistics> gatherLabels(const Image& image);

/// The threads that share the work: the machine's, at most eight.
std::size_t threadBudget();

// --- StructurePlans.cpp: which labels make which structure

/// The labels that make one structure.
struct StructurePlan {
    std::string name;
    std::vector<std::int32_t> labels;  // ascending
    LabelStatistics statistics;        // merged over the labels
    LabelConfig config;                // of the smallest label
};

/// Structures by name, in ascending order of their smallest label; logs the named labels that
/// are background or absent. A label whose colour is left at the default takes the colour the
/// image gives it (a segmentation file's segment colour).
std::vector<StructurePlan> planStructures(const std::unordered_map<std::int32_t, LabelStatistics>& found,
                                          const LabelDataComponent* labels, bool includeUnnamedLabels,
                                          const std::map<int, Vec4>& imageColors);

/// The voxels of the plan's labels within its bounding box; `progress` is called before each
/// slice with the fraction done.
surface::BinaryMask maskOf(const Image& image, const StructurePlan& plan, const std::function<void(double)>& progress);

/// The structure (its index in the plans) that each voxel belongs to, or -1.
std::function<std::int32_t(int, int, int)> structureLookup(const Image& image, const std::vector<StructurePlan>& plans);

// --- StructureMeshing.cpp: surfaces of the planned structures

/// Reports progress in [0, 1] of the meshing; false asks to stop.
using MeshingProgress = std::function<bool(double)>;

struct SurfaceSettings {
    GenericASCFromMultiLabelMap::Surface kind;
    double decimate;  // share of the triangles kept
};

/// The surfaces of all plans in world coordinates, as the settings ask; empty when stopped.
/// Throws std::runtime_error naming the structure whose meshing failed.
std::vector<surface::TriangleSurface> meshStructures(const Image& image, const Mat4& voxelToWorld,
                                                     const std::vector<StructurePlan>& plans,
                                                     const SurfaceSettings& settings,
                                                     const MeshingProgress& progress);

// --- StructureAssembly.cpp: structures from the plans and their surfaces

/// One structure per plan with its surface, centroid and attributes; adds each structure's
/// figures to `results`.
std::vector<std::unique_ptr<AnatomicalStructure>> assembleStructures(const std::vector<StructurePlan>& plans,
                                                                     std::vector<surface::TriangleSurface> surfaces,
                                                                     const Mat4& voxelToWorld,
                                                                     GenericASCFromMultiLabelMap::Surface kind,
                                                                     Properties& results);

void logAt(int level, const std::string& message);

}  // namespace corvaxis::AnatomicalStructureProcessing::labelmap
