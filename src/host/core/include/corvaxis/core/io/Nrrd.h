#pragma once

#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/io/DataFile.h"

#include <filesystem>
#include <memory>
#include <optional>

// NRRD images (".nrrd", and ".nhdr" headers with their data in another file), read through Teem,
// the format's reference library; 3D Slicer's segmentations (".seg.nrrd") among them.
// docs/images.md describes how a file's geometry maps onto an image set.
namespace corvaxis::io {

/// Whether the path names a NRRD file by its extension (".nrrd" or ".nhdr", any letter case).
bool isNrrdPath(const std::filesystem::path& path);

/// Reads a NRRD file that describes a 3-D image, or several of one geometry along one list axis
/// of a 4-D array (one image each). The voxel-to-world mapping comes from "space directions" and
/// "space origin", converted from the file's space (left-posterior-superior, left-anterior-
/// superior or right-anterior-superior) into the right-anterior-superior world; without a space
/// it is diag(spacings). Encodings raw, gzip, ascii and hex.
///
/// A 3D Slicer segmentation (keys "SegmentN_..."; its layers on the list axis) opens with
/// Modality::Label, each image holding the names and colours of its layer's segments; other
/// files with Modality::NA. `modality` overrides the modality.
///
/// Throws FileNotFoundError, FileAccessError (also for a data file that is missing or not a
/// regular file) or FileFormatError naming the file and what is wrong, Teem's reason for a
/// header Teem refuses.
std::unique_ptr<SharedImageSet> loadNrrd(const std::filesystem::path& path,
                                         std::optional<Modality> modality = std::nullopt);

}  // namespace corvaxis::io
