// NRRD images through Teem: an input is a ".nrrd" file (its header may name a data file, which
// is then looked for beside it). A file must be read or refused; in what was read, the voxels map
// to the world by a finite, invertible mapping and every image has its label names and colours.

#include "../../../FuzzSupport.h"

#include "corvaxis/core/io/Nrrd.h"

#include <Eigen/LU>

#include <cmath>

using namespace corvaxis;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto input = fuzz::writeScratchFile("input.nrrd", data, size);
    std::unique_ptr<SharedImageSet> images;
    try {
        images = io::loadNrrd(input);
    }
    catch (const io::FileError&) {
        // Refused: not NRRD, damaged, or naming a data file that is missing or no regular file.
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
        for (const auto& [label, color] : images->get(index)->labelColors)
            if (!(color.array() >= 0.0).all() || !(color.array() <= 1.0).all())
                fuzz::fault("a label colour was read outside [0, 1]");
    }
    return 0;
}
