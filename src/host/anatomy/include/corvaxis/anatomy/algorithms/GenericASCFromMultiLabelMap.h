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
/// volume (mm³) and color. Background 0 is never a structure.
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
///
/// Without a target collection the algorithm creates a GenericASC and hands it over through its
/// output; with one, it adds the structures to the target. Failures (no image, several channels,
/// a non-integral value or one outside 32-bit range in a floating label image, an image too large
/// for 32-bit indices) set a non-zero status with a message, log a warning and produce nothing.
class GenericASCFromMultiLabelMap : public Algorithm {
public:
    /// The label image and the label description are only read during compute and must outlive it.
    GenericASCFromMultiLabelMap(const SharedImageSet* labelImages, AnatomicalStructureCollection* target,
                                const LabelDataComponent* labels = nullptr);

    void compute() override;

    /// Whether labels without a configured name become structures too.
    Parameter<bool> p_includeUnnamedLabels{"includeUnnamedLabels", true, this};

    static constexpr const char* logCategory = "AnatomyPlugin.GenericASCFromMultiLabelMap";

private:
    void fail(int status, const std::string& message);

    const SharedImageSet* m_labelImages;
    AnatomicalStructureCollection* m_target;
    const LabelDataComponent* m_labels;
};

}  // namespace corvaxis::AnatomicalStructureProcessing
