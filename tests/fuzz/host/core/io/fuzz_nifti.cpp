// NIfTI images, plain or compressed: an input that starts as a gzip stream is read as ".nii.gz",
// any other as ".nii". A file must be read or refused; in what was read, the
// voxels map to the world by a finite, invertible mapping.

#include "../../../FuzzSupport.h"

#include "corvaxis/core/io/Nifti.h"

#include <Eigen/LU>

#include <cmath>

using namespace corvaxis;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool compressed = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const auto input = fuzz::writeScratchFile(compressed ? "input.nii.gz" : "input.nii", data, size);
    std::unique_ptr<SharedImageSet> images;
    try {
        images = io::loadNifti(input);
    }
    catch (const io::FileFormatError&) {
        return 0;
    }
    catch (const std::exception& error) {
        fuzz::fault("reading gave an error other than a refusal", error);
    }
    if (images->size() < 1)
        fuzz::fault("an image set was read without images");
    for (int index = 0; index < images->size(); ++index) {
        const Mat4 voxelToWorld = images->voxelToWorld(index);
        const double determinant = voxelToWorld.topLeftCorner<3, 3>().determinant();
        if (!voxelToWorld.allFinite() || !std::isfinite(determinant) || determinant == 0.0)
            fuzz::fault("an image was read with a degenerate or non-finite voxel-to-world mapping");
    }
    return 0;
}
