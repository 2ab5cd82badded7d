#pragma once

#include <filesystem>
#include <span>

// Saving whole files, shared by the file formats: checked writes of bytes prepared in memory,
// so that a full or failing disk is always reported with the system's own error.
namespace corvaxis::io {

/// Refuses a target that saving must not replace: a path without a file name, a directory, or
/// anything but a regular file or a symbolic link (a FIFO or a device must never become a file).
void requireReplaceableTarget(const std::filesystem::path& target);

/// Writes the bytes to the target atomically: to a temporary file in the same directory, which is
/// synced and then renamed over the target (keeping a replaced file's permissions). On any failure
/// the temporary file is removed and an existing file at the target stays as it was.
void writeFileAtomically(const std::filesystem::path& target, std::span<const unsigned char> bytes);

}  // namespace corvaxis::io
