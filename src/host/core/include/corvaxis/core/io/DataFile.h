#pragma once

#include "corvaxis/core/Data.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Data files (".cvx"): one data object of any kind with a registered codec, in an HDF5 file
// behind a 512-byte header of our own (signature, format version, content length, CRC-32).
// docs/file-format.md describes the layout.
namespace corvaxis::io {

inline constexpr std::uint32_t formatVersion = 1;
inline constexpr std::size_t headerSize = 512;
inline constexpr const char* fileExtension = ".cvx";

/// A file could not be read or written. The message is "<path>: <reason>".
class FileError : public std::runtime_error {
public:
    FileError(std::filesystem::path path, std::string reason, int errorNumber = 0);

    const std::filesystem::path& path() const { return m_path; }
    const std::string& reason() const { return m_reason; }
    /// The system's error number for failures of the operating system, 0 otherwise.
    int errorNumber() const { return m_errorNumber; }

private:
    std::filesystem::path m_path;
    std::string m_reason;
    int m_errorNumber;
};

/// There is no file at the path.
class FileNotFoundError : public FileError {
public:
    FileNotFoundError(std::filesystem::path path, std::string reason);
};

/// The file is not a data file, or it is damaged, truncated, of a newer format version, or holds
/// a kind of data (or component) that no loaded library reads.
class FileFormatError : public FileError {
public:
    using FileError::FileError;
};

/// The operating system (or HDF5 writing to it) failed: no permission, no space, not a file.
class FileAccessError : public FileError {
public:
    using FileError::FileError;
};

/// The data cannot be stored (a kind or component without codec, text holding NUL characters);
/// nothing was written.
class UnsupportedDataError : public FileError {
public:
    using FileError::FileError;
};

/// Writes the data object to path, atomically: the content goes to a temporary file in the same
/// directory, which is synced and then renamed over the target. On any failure the temporary
/// file is removed and an existing file at path stays as it was.
void save(const Data& data, const std::filesystem::path& path);

/// Called with the kind of the stored object after the file was checked and before its content
/// is read, so that a caller can load the library that reads that kind. Exceptions pass through.
using KindHook = std::function<void(const std::string& kind)>;

/// Reads the data object stored at path, whole or not at all. The header (size, signature,
/// version, checksum) is checked before HDF5 sees any byte, and HDF5 then reads the checked
/// bytes from memory.
std::unique_ptr<Data> load(const std::filesystem::path& path, const KindHook& beforeReading = {});
/// Same, and throws FileFormatError unless the stored object is of the expected kind.
std::unique_ptr<Data> load(const std::filesystem::path& path, const std::string& expectedKind);

/// Called with each file of loadEach in order: its data object, or null and why it was refused
/// (the exception load() would throw). Returns false to stop reading.
using EachLoaded = std::function<bool(std::size_t index, std::unique_ptr<Data> data, std::exception_ptr refusal)>;

/// Reads the data objects stored at paths, each as load() does, in one process for the trial
/// reads of all of them: it reads a file ahead of this process, which reads each file once its
/// trial is past, so that many small files cost one fork and the two reads of each overlap.
/// Holds the bytes of all the files until each is read: give it a batch, not a whole folder.
void loadEach(const std::vector<std::filesystem::path>& paths, const EachLoaded& each);

}  // namespace corvaxis::io
