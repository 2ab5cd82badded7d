#pragma once

#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/io/DataFile.h"

#include <filesystem>
#include <memory>
#include <optional>

// NIfTI-1 and NIfTI-2 images (".nii", ".nii.gz"; pairs ".hdr" + ".img" are read too), read and
// written through the NIfTI reference library. docs/images.md describes how a file's geometry maps onto an image set.
namespace corvaxis::io {

/// Whether the path names a NIfTI file by its extension (".nii", ".hdr" or ".img", each also with
/// ".gz"; any letter case).
bool isNiftiPath(const std::filesystem::path& path);

/// Reads a NIfTI file as an image set: one image for a 3-D file, one per volume for a 4-D one.
/// Either byte order is read. A pair is read from either of its names; its other file has the
/// same name with the other extension, compressed or not.
/// The voxel-to-world mapping comes from the sform, else the qform, else the voxel sizes alone.
/// A file whose intent is "label" opens with Modality::Label; `modality` overrides the modality
/// for files written without it. Scaling (scl_slope, scl_inter) is applied except to label images.
/// Throws FileNotFoundError, FileAccessError or FileFormatError (truncated, not NIfTI, unsupported
/// voxel type, overflowing dimensions, a vox_offset inside the header or past the end of the file,
/// a voxel size of 0 or not finite without a transform, less data than the header announces).
std::unique_ptr<SharedImageSet> loadNifti(const std::filesystem::path& path,
                                          std::optional<Modality> modality = std::nullopt);

/// Which header a written file gets: NIfTI-1 (geometry in single precision, extents up to
/// 32767) or NIfTI-2 (geometry in double precision, 64-bit extents).
enum class NiftiVersion {
    Smallest,  ///< NIfTI-1 when the set fits it, NIfTI-2 otherwise
    One,
    Two,
};

/// Writes an image set as a NIfTI file, atomically (a temporary file renamed into place); a
/// compressed file for ".nii.gz". Label sets carry the label intent. Throws UnsupportedDataError
/// for sets a NIfTI file cannot hold (empty, several channels, images of different geometry, and
/// for NiftiVersion::One extents over 32767) and FileAccessError when writing fails.
void saveNifti(const SharedImageSet& images, const std::filesystem::path& path,
               NiftiVersion version = NiftiVersion::Smallest);

}  // namespace corvaxis::io
