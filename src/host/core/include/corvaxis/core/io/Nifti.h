#pragma once

#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/io/DataFile.h"

#include <filesystem>
#include <memory>
#include <optional>

// NIfTI-1 and NIfTI-2 images (".nii", ".nii.gz"), read and written through the NIfTI reference
// library. docs/images.md describes how a file's geometry maps onto an image set.
namespace corvaxis::io {

/// Whether the path names a NIfTI file by its extension (".nii" or ".nii.gz", any letter case).
bool isNiftiPath(const std::filesystem::path& path);

/// Reads a NIfTI file as an image set: one image for a 3-D file, one per volume for a 4-D one.
/// The voxel-to-world mapping comes from the sform, else the qform, else the voxel sizes alone.
/// A file whose intent is "label" opens with Modality::Label; `modality` overrides the modality
/// for files written without it. Scaling (scl_slope, scl_inter) is applied except to label images.
/// Throws FileNotFoundError, FileAccessError or FileFormatError (truncated, not NIfTI, unsupported
/// voxel type, overflowing dimensions, less data than the header announces).
std::unique_ptr<SharedImageSet> loadNifti(const std::filesystem::path& path,
                                          std::optional<Modality> modality = std::nullopt);

/// Writes an image set as a NIfTI-1 file, atomically (a temporary file renamed into place); a
/// compressed file for ".nii.gz". Its header holds the geometry in single precision. Label sets
/// carry the label intent. Throws UnsupportedDataError for sets NIfTI-1 cannot hold (empty,
/// several channels, images of different geometry, extents over 32767) and FileAccessError
/// when writing fails.
void saveNifti(const SharedImageSet& images, const std::filesystem::path& path);

}  // namespace corvaxis::io
