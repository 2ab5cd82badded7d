#pragma once

// What the image-format fuzz targets check of every input: it is read or refused, and what was
// read is at least one image whose voxels map to the world by a finite, invertible mapping.

#include "../../../FuzzSupport.h"

#include "corvaxis/core/SharedImageSet.h"

#include <Eigen/LU>

#include <cmath>
#include <memory>

namespace corvaxis::fuzz {

/// The image set `read()` gives, or null when it throws `Refusal`; anything else is a fault.
template <class Refusal, class Read>
std::unique_ptr<SharedImageSet> readImagesOrRefusal(const Read& read)
{
    std::unique_ptr<SharedImageSet> images;
    try {
        images = read();
    }
    catch (const Refusal&) {
        return nullptr;
    }
    catch (const std::exception& error) {
        fault("reading gave an error other than a refusal", error);
    }
    if (images->size() < 1)
        fault("an image set was read without images");
    for (int index = 0; index < images->size(); ++index) {
        const Mat4 voxelToWorld = images->voxelToWorld(index);
        const double determinant = voxelToWorld.topLeftCorner<3, 3>().determinant();
        if (!voxelToWorld.allFinite() || !std::isfinite(determinant) || determinant == 0.0)
            fault("an image was read with a degenerate or non-finite voxel-to-world mapping");
    }
    return images;
}

}  // namespace corvaxis::fuzz
