#pragma once

#include "corvaxis/core/Types.h"

#include <cstdint>
#include <filesystem>
#include <string>

// What the readers of other tools' image files (NIfTI, NRRD) share.
namespace corvaxis::io::detail {

/// Deflate expands at most 1032 times, so a compressed file's size bounds what it can hold.
inline constexpr std::uintmax_t maximumDeflateRatio = 1032;

/// Throws FileNotFoundError or FileAccessError unless the path is a readable regular file.
void requireReadableFile(const std::filesystem::path& path);

/// The size of a file, 0 when it cannot be told.
std::uintmax_t fileSize(const std::filesystem::path& path);

/// The file name in lower case, for telling formats by their extension.
std::string lowerCaseName(const std::filesystem::path& path);

/// Finite, invertible, with voxel sizes (column lengths) that are ordinary positive numbers, and
/// with axes that stay apart once divided by those sizes (an image holds them as directions):
/// nothing may underflow to zero or overflow on the way.
bool usableAffine(const Mat4& affine);

}  // namespace corvaxis::io::detail
