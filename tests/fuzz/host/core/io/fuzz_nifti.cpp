// NIfTI images, plain or compressed: an input that starts as a gzip stream is read as ".nii.gz",
// any other as ".nii". A file must be read or refused; in what was read, the
// voxels map to the world by a finite, invertible mapping.

#include "ImageReading.h"

#include "corvaxis/core/io/Nifti.h"

using namespace corvaxis;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool compressed = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const auto input = fuzz::writeScratchFile(compressed ? "input.nii.gz" : "input.nii", data, size);
    fuzz::readImagesOrRefusal<io::FileFormatError>([&] { return io::loadNifti(input); });
    return 0;
}
