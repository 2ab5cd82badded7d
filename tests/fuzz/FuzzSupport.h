#pragma once

// What the fuzz targets share: a scratch file for readers that take a file name, and one way to
// end on an outcome that is a fault (an exception other than the reader's own refusal).

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

namespace corvaxis::fuzz {

namespace fs = std::filesystem;

/// A directory of this process under the temporary directory, removed when the process ends.
inline const fs::path& scratchDirectory()
{
    struct Directory {
        Directory()
        {
            std::string pattern = (fs::temp_directory_path() / "corvaxis-fuzz-XXXXXX").string();
            if (!::mkdtemp(pattern.data())) {
                std::perror("cannot create the fuzz scratch directory");
                std::abort();
            }
            path = pattern;
        }
        ~Directory()
        {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
        fs::path path;
    };
    static const Directory directory;
    return directory.path;
}

/// Writes the input to a file of the scratch directory (replacing what it held) and gives its path.
inline fs::path writeScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size)
{
    const fs::path path = scratchDirectory() / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    for (std::size_t written = 0; written < size;) {
        const ssize_t count = ::write(fd, data + written, size - written);
        if (count <= 0) {
            std::perror(path.c_str());
            std::abort();
        }
        written += static_cast<std::size_t>(count);
    }
    ::close(fd);
    return path;
}

/// Ends the run on a fault, naming it, so that the fuzzer keeps the input.
[[noreturn]] inline void fault(const char* what, const std::exception& error)
{
    std::fprintf(stderr, "fault: %s: %s\n", what, error.what());
    std::abort();
}

[[noreturn]] inline void fault(const char* what)
{
    std::fprintf(stderr, "fault: %s\n", what);
    std::abort();
}

}  // namespace corvaxis::fuzz
