#pragma once

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/SharedImageSet.h"

#include <optional>

namespace corvaxis::AnatomicalStructureProcessing {

/// Builds anatomical structures from the labels of a label image: one structure per name, holding
/// meshes["surface"] (the closed surface of its voxels in world coordinates), keypoints["centroid"]
/// (the world centroid of its voxels) and, on the mesh entry, the attributes label, voxel_count,
/// volume (mm³), surface (the kind, "smooth" or "voxel"), surface_area (mm²) and color.
/// Background 0 is never a structure.
///
/// p_surface chooses the surface: Smooth (the default) is the smoothed dual of the marching cubes
/// surface, smoothed for all structures together so that touching structures share one
/// interface, with the voxels' topology and volume; Voxel is the marching cubes surface itself.
///
/// Labels take their names from the label description; labels mapped to the same name form one
/// structure, whose label and color come from the smallest of them. A label whose colour the
/// description leaves at its default takes the colour the label image gives it, if any
/// (Image::labelColors, as read from a segmentation file). With
/// p_includeUnnamedLabels, labels without a configured name become structures too, named by their
/// default configuration. A named label absent from the image gives no structure and an info
/// message.
///
/// One pass over the image finds every label's bounding box and centroid; each structure is then
/// meshed on its own box only, the structures in parallel on worker threads while the calling
/// thread waits and reports progress. The result does not depend on the number of threads.
/// Progress is reported at least every 0.25 s; a request to stop is honoured within the structure
/// being meshed.
///
/// Without a target collection the algorithm creates a GenericASC and hands it over through its
/// output; with one, it adds the structures to the target. Failures (no image, several channels,
/// a non-integral value or one outside 32-bit range in a floating label image, an image too large
/// for 32-bit indices, a p_surface outside its enumeration, a p_decimate outside (0, 1]) set a non-zero status with a message, log a warning and produce nothing.
class GenericASCFromMultiLabelMap : public Algorithm {
public:
    /// The label image and the label description are only read during compute and must outlive it.
    GenericASCFromMultiLabelMap(const SharedImageSet* labelImages, AnatomicalStructureCollection* target,
                                const LabelDataComponent* labels = nullptr);

    void compute() override;

    enum class Surface : int { Smooth = 0, Voxel = 1 };
    /// "smooth" or "voxel": the mesh entries' surface attribute.
    static const char* surfaceName(Surface kind);

    /// Whether labels without a configured name become structures too.
    Parameter<bool> p_includeUnnamedLabels{"includeUnnamedLabels", true, this};
    /// Which surface each structure gets.
    Parameter<Surface> p_surface{"surface", Surface::Smooth, this};
    /// The share of each surface's triangles kept, in (0, 1]; below 1 the surface is decimated by
    /// least quadric error, keeping its topology (touching structures then no longer share
    /// their interface vertices).
    Parameter<double> p_decimate{"decimate", 1.0, this};

    static constexpr const char* logCategory = "AnatomyPlugin.GenericASCFromMultiLabelMap";

private:
    /// Logs the failure and ends the compute with it.
    void fail(Run& run, int status, const std::string& message);
    /// The label image's current image after the checks of its form; null after a failure.
    const Image* checkedInput(Run& run);
    /// Hands the structures to the target collection (all or none) or to the output.
    bool deliver(Run& run, std::vector<std::unique_ptr<AnatomicalStructure>> structures);

    const SharedImageSet* m_labelImages;
    AnatomicalStructureCollection* m_target;
    const LabelDataComponent* m_labels;
};

}  // namespace corvaxis::AnatomicalStructureProcessing
