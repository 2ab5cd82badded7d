// NRRD images through Teem: an input is a ".nrrd" file (its header may name a data file, which
// is then looked for beside it). A file must be read or refused; in what was read, the voxels map
// to the world by a finite, invertible mapping and every image has its label names and colours.

#include "ImageReading.h"

#include "corvaxis/core/io/Nrrd.h"

using namespace corvaxis;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto input = fuzz::writeScratchFile("input.nrrd", data, size);
    // Refused: not NRRD, damaged, or naming a data file that is missing or no regular file.
    const auto images = fuzz::readImagesOrRefusal<io::FileError>([&] { return io::loadNrrd(input); });
    if (!images)
        return 0;
    for (int index = 0; index < images->size(); ++index)
        for (const auto& [label, color] : images->get(index)->labelColors)
            if (!(color.array() >= 0.0).all() || !(color.array() <= 1.0).all())
                fuzz::fault("a label colour was read outside [0, 1]");
    return 0;
}
