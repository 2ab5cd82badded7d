#include "corvaxis/core/io/DataFile.h"

#include "AtomicFile.h"
#include "ChildProcess.h"

#include "corvaxis/core/io/DataCodec.h"
#include "corvaxis/core/io/Hdf5.h"

#include <boost/crc.hpp>
#include <hdf5.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <string.h>
#include <random>
#include <span>
#include <vector>

namespace corvaxis::io {

namespace fs = std::filesystem;

namespace {

constexpr std::array<unsigned char, 8> signature = {'C', 'O', 'R', 'V', 'A', 'X', 'I', 'S'};
constexpr std::array<unsigned char, 8> hdf5Signature = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
// Header layout: signature, then little-endian version (4 bytes), content length (8), CRC-32 (4);
// zeros up to headerSize.
constexpr std::size_t versionOffset = 8;
constexpr std::size_t lengthOffset = 12;
constexpr std::size_t crcOffset = 20;
constexpr std::size_t headerUsed = 24;

std::string systemReason(int error) { return std::strerror(error); }

template <typename Integer>
void putLittleEndian(unsigned char* out, Integer value)
{
    for (std::size_t i = 0; i < sizeof(Integer); ++i)
        out[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i));
}

template <typename Integer>
Integer getLittleEndian(const unsigned char* in)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(Integer); ++i)
        value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    return static_cast<Integer>(value);
}

/// A file descriptor that closes itself.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    /// Closes now and reports whether closing worked (a failed close can mean lost writes).
    bool close() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd;
};

[[noreturn]] void failSystem(const fs::path& path, const std::string& what, int error)
{
    if (error == ENOENT)
        throw FileNotFoundError(path, what + ": " + systemReason(error));
    throw FileAccessError(path, what + ": " + systemReason(error), error);
}

// ---- Writing ---------------------------------------------------------------------------------

/// The name of a temporary file for the target, no longer than a file name may be: the target's
/// name, shortened where needed at a character boundary, between a dot and the suffix.
std::string temporaryName(const fs::path& target, const char* suffix)
{
    constexpr std::size_t maxNameBytes = 255;
    std::string name = target.filename().string();
    const std::size_t room = maxNameBytes - 1 - std::strlen(suffix);
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;  // not inside a UTF-8 sequence
        name.resize(cut);
    }
    return "." + name + suffix;
}

/// A temporary file next to the target, open for writing; removed unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target) : m_fd(-1)
    {
        const fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        std::random_device entropy;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof(suffix), ".%08x.tmp", static_cast<unsigned>(entropy()));
            // Hidden, and named after the target, so that a leftover of a crash is recognisable.
            m_path = directory / temporaryName(target, suffix);
            const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd = Descriptor(fd);
                return;
            }
            if (errno != EEXIST)
                failSystem(target, "cannot create a temporary file in '" + directory.string() + "'", errno);
        }
        throw FileAccessError(target, "cannot find a free temporary file name in '" + directory.string() + "'",
                              EEXIST);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (!m_kept)
            ::unlink(m_path.c_str());
    }

    const fs::path& path() const { return m_path; }
    Descriptor& descriptor() { return m_fd; }
    void keep() { m_kept = true; }

private:
    fs::path m_path;
    Descriptor m_fd;
    bool m_kept = false;
};

/// The whole HDF5 file, built in memory (HDF5's core driver, no backing file), behind the empty
/// user block that the header goes into. HDF5 never writes to a disk: a full or failing
/// disk is met by our own checked writes, never inside the library.
std::vector<unsigned char> hdf5Image(const Data& data)
{
    static std::atomic<unsigned> counter = 0;
    const auto check = [](auto result, const char* what) {
        if (result < 0)
            throw Hdf5Error(what);
        return result;
    };
    const Handle createList(check(H5Pcreate(H5P_FILE_CREATE), "cannot make a file creation list"));
    check(H5Pset_userblock(createList.id(), headerSize), "cannot reserve the header");
    check(H5Pset_obj_track_times(createList.id(), false), "cannot turn off modification times");
    const Handle accessList(check(H5Pcreate(H5P_FILE_ACCESS), "cannot make a file access list"));
    // The 1.8 file format: compact groups, and readable by every HDF5 tool of the last 15 years.
    check(H5Pset_libver_bounds(accessList.id(), H5F_LIBVER_V18, H5F_LIBVER_V18), "cannot choose the file format");
    check(H5Pset_fclose_degree(accessList.id(), H5F_CLOSE_STRONG), "cannot set the close degree");
    check(H5Pset_fapl_core(accessList.id(), 1 << 20, false), "cannot choose the memory driver");
    check(H5Pset_file_locking(accessList.id(), false, true), "cannot turn off file locking");

    // A name of its own: HDF5 tells open files apart by name, and this one exists only here.
    const std::string name = "corvaxis-memory-file-out-" + std::to_string(counter++);
    Handle file(check(H5Fcreate(name.c_str(), H5F_ACC_TRUNC, createList.id(), accessList.id()),
                      "cannot create the HDF5 file"));
    {
        Group root(Handle(check(H5Gopen2(file.id(), "/", H5P_DEFAULT), "cannot open the root group")), "/",
                   std::make_shared<FileContext>());
        root.setText("format", "corvaxis");
        root.setScalar<std::uint32_t>("format_version", formatVersion);
        writeData(data, root);
    }
    check(H5Fflush(file.id(), H5F_SCOPE_LOCAL), "cannot complete the HDF5 file");
    // The image leaves the user block out; the file is the empty block followed by the image.
    const ssize_t size = check(H5Fget_file_image(file.id(), nullptr, 0), "cannot take the HDF5 file image");
    std::vector<unsigned char> image(headerSize + static_cast<std::size_t>(size));
    check(H5Fget_file_image(file.id(), image.data() + headerSize, static_cast<std::size_t>(size)),
          "cannot take the HDF5 file image");
    if (H5Fclose(file.release()) < 0)
        throw Hdf5Error("cannot complete the HDF5 file");
    return image;
}

/// Puts the header into the user block of the image.
void writeHeader(std::vector<unsigned char>& image, const fs::path& target)
{
    if (image.size() <= headerSize + hdf5Signature.size() ||
        std::memcmp(image.data() + headerSize, hdf5Signature.data(), hdf5Signature.size()) != 0)
        throw FileAccessError(target, "HDF5 did not place its content after the header", EIO);
    const std::uint64_t length = image.size() - headerSize;
    boost::crc_32_type crc;
    crc.process_bytes(image.data() + headerSize, length);
    std::fill_n(image.begin(), headerSize, 0);
    std::memcpy(image.data(), signature.data(), signature.size());
    putLittleEndian<std::uint32_t>(image.data() + versionOffset, formatVersion);
    putLittleEndian<std::uint64_t>(image.data() + lengthOffset, length);
    putLittleEndian<std::uint32_t>(image.data() + crcOffset, crc.checksum());
}

/// Writes all bytes, synced and closed, or throws with the system's error number.
void writeAll(Descriptor& fd, std::span<const unsigned char> bytes, const fs::path& target)
{
    // Claims the space first where the file system can: a full disk is found before any write.
    const int reserved = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(bytes.size()));
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL)
        failSystem(target, "cannot write the temporary file", reserved);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            failSystem(target, "cannot write the temporary file", errno);
        }
        if (count == 0)
            failSystem(target, "cannot write the temporary file", ENOSPC);
        written += static_cast<std::size_t>(count);
    }
    if (::fsync(fd.get()) != 0)
        failSystem(target, "cannot sync the temporary file", errno);
    if (!fd.close())
        failSystem(target, "cannot close the temporary file", errno);
}

void syncDirectory(const fs::path& target)
{
    const fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The rename has happened; a directory that cannot be synced only weakens durability.
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

// ---- Reading ---------------------------------------------------------------------------------

/// Reads into bytes from offset filled until count bytes are there or the file ends; returns
/// the new fill.
std::size_t readInto(Descriptor& fd, std::vector<unsigned char>& bytes, std::size_t filled, std::size_t count,
                     const fs::path& path)
{
    while (filled < count) {
        const ssize_t read = ::read(fd.get(), bytes.data() + filled, count - filled);
        if (read < 0) {
            if (errno == EINTR)
                continue;
            failSystem(path, "cannot read", errno);
        }
        if (read == 0)
            break;
        filled += static_cast<std::size_t>(read);
    }
    return filled;
}

/// Everything that the header alone shows: signature, size of the header, version, reserved
/// bytes. Given the file's first bytes (all of them when it is shorter than the header).
void checkHeader(const std::vector<unsigned char>& bytes, const fs::path& path)
{
    const auto refuse = [&](const std::string& reason) { throw FileFormatError(path, reason); };
    if (bytes.empty())
        refuse("the file is empty");
    const std::size_t compared = std::min(bytes.size(), signature.size());
    const bool ours = std::memcmp(bytes.data(), signature.data(), compared) == 0;
    if (!ours && bytes.size() >= 8 && std::memcmp(bytes.data(), hdf5Signature.data(), 8) == 0)
        refuse("not a corvaxis data file: an HDF5 file without the corvaxis header");
    if (!ours)
        refuse("not a corvaxis data file (no CORVAXIS signature at the start)");
    if (bytes.size() < headerSize)
        refuse("truncated: " + std::to_string(bytes.size()) + " bytes, less than the " + std::to_string(headerSize) +
               "-byte header");
    const auto version = getLittleEndian<std::uint32_t>(bytes.data() + versionOffset);
    if (version != formatVersion)
        refuse("format version " + std::to_string(version) + " is not supported (this build reads version " +
               std::to_string(formatVersion) + ")");
    for (std::size_t i = headerUsed; i < headerSize; ++i)
        if (bytes[i] != 0)
            refuse("damaged header (reserved bytes are not zero)");
}

/// The content behind a checked header: as long as the header announces, and matching its checksum.
void checkContent(const std::vector<unsigned char>& bytes, const fs::path& path)
{
    const auto refuse = [&](const std::string& reason) { throw FileFormatError(path, reason); };
    const auto length = getLittleEndian<std::uint64_t>(bytes.data() + lengthOffset);
    const std::uint64_t present = bytes.size() - headerSize;
    if (present < length)
        refuse("truncated: the header announces " + std::to_string(length) + " bytes of content, the file holds " +
               std::to_string(present));
    if (present > length)
        refuse("damaged: " + std::to_string(present - length) + " bytes more than the header announces");
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data() + headerSize, present);
    if (crc.checksum() != getLittleEndian<std::uint32_t>(bytes.data() + crcOffset))
        refuse("damaged: the content does not match its checksum");
}

/// The whole file, checked: the header is read and checked before any more of the file, so that
/// a file of another kind costs a few hundred bytes whatever its size; then the content.
std::vector<unsigned char> readDataFile(const fs::path& path)
{
    // Not blocking on a FIFO, and a terminal never becomes the controlling one.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        failSystem(path, "cannot open", errno);
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
        failSystem(path, "cannot inspect", errno);
    if (S_ISDIR(status.st_mode))
        throw FileAccessError(path, "is a directory", EISDIR);
    if (!S_ISREG(status.st_mode))
        throw FileAccessError(path, "is not a regular file", EINVAL);
    std::vector<unsigned char> bytes(headerSize);
    bytes.resize(readInto(fd, bytes, 0, headerSize, path));
    checkHeader(bytes, path);
    // One byte more than the size, so that the read that finds the end needs no larger buffer.
    bytes.resize(std::max<std::size_t>(static_cast<std::size_t>(status.st_size), headerSize) + 1);
    std::size_t filled = headerSize;
    for (;;) {
        filled = readInto(fd, bytes, filled, bytes.size(), path);
        if (filled < bytes.size())
            break;
        bytes.resize(bytes.size() * 2);  // the file grew while being read
    }
    bytes.resize(filled);
    checkContent(bytes, path);
    return bytes;
}

/// An HDF5 file opened from checked bytes in memory; HDF5 never reads the path itself.
///
/// The bytes are lent to HDF5 without copies: the image callbacks hand out the one buffer for
/// every allocation HDF5 asks for and never free it. The file is opened read-only, so HDF5
/// neither writes to nor grows the buffer, which must outlive the file. Made and used inside an
/// HDF5 session.
class MemoryFile {
public:
    MemoryFile(std::vector<unsigned char>& bytes, std::uint64_t maxArrayBytes) : m_bytes(bytes)
    {
        static std::atomic<unsigned> counter = 0;
        const auto check = [](auto result, const char* what) {
            if (result < 0)
                throw Hdf5Error(what);
            return result;
        };
        H5FD_file_image_callbacks_t callbacks = {
            [](std::size_t size, H5FD_file_image_op_t, void* udata) -> void* {
                auto* bytes = static_cast<std::vector<unsigned char>*>(udata);
                return size == bytes->size() ? bytes->data() : nullptr;
            },
            [](void* target, const void* source, std::size_t size, H5FD_file_image_op_t, void*) -> void* {
                return target == source ? target : std::memcpy(target, source, size);
            },
            [](void*, std::size_t, H5FD_file_image_op_t, void*) -> void* { return nullptr; },
            [](void*, H5FD_file_image_op_t, void*) -> herr_t { return 0; },
            [](void* udata) -> void* { return udata; },
            [](void*) -> herr_t { return 0; },
            &m_bytes,
        };
        const Handle accessList(check(H5Pcreate(H5P_FILE_ACCESS), "cannot make a file access list"));
        check(H5Pset_fapl_core(accessList.id(), 1 << 16, false), "cannot choose the memory driver");
        check(H5Pset_file_image_callbacks(accessList.id(), &callbacks), "cannot lend the content");
        check(H5Pset_file_image(accessList.id(), m_bytes.data(), m_bytes.size()), "cannot lend the content");
        // A name of its own: HDF5 tells open files apart by name, and this one exists only here.
        const std::string name = "corvaxis-memory-file-" + std::to_string(counter++);
        m_file = Handle(H5Fopen(name.c_str(), H5F_ACC_RDONLY, accessList.id()));
        if (!m_file)
            throw Hdf5Error("HDF5 cannot open the content");
        m_context = std::make_shared<FileContext>();
        m_context->maxArrayBytes = maxArrayBytes;
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    Group root() const
    {
        const Handle::Id id = H5Gopen2(m_file.id(), "/", H5P_DEFAULT);
        if (id < 0)
            throw Hdf5Error("the root group cannot be opened");
        return Group(Handle(id), "/", m_context);
    }

private:
    std::vector<unsigned char>& m_bytes;
    Handle m_file;
    std::shared_ptr<FileContext> m_context;
};

/// The kind of data the content holds, once its root group shows it is ours and of this version.
std::string contentKind(const MemoryFile& file, const fs::path& path)
{
    const Group root = file.root();
    if (!root.hasAttribute("format") || root.text("format") != "corvaxis")
        throw FileFormatError(path, "not a corvaxis data file (its root group lacks format=\"corvaxis\")");
    const auto version = root.scalar<std::uint32_t>("format_version");
    if (version != formatVersion)
        throw FileFormatError(path, "damaged: the content says format version " + std::to_string(version) +
                                        ", the header " + std::to_string(formatVersion));
    return root.text("kind");
}

// Exit statuses of a trial read in a child process.
constexpr int trialReadAll = 0;
constexpr int trialLackedCodec = 3;

/// How long a trial read may take: far more than reading any file of that size takes here, also
/// on a busy machine or under a sanitizer (which reads some 10 MB/s), and far less than forever.
std::chrono::milliseconds trialReadLimit(std::uint64_t size)
{
    constexpr std::uint64_t bytesPerSecond = 4 << 20;
    return std::chrono::seconds(30) + std::chrono::milliseconds(size / (bytesPerSecond / 1000));
}

/// Refuses the file when its trial read in a child did not end in time or a signal ended it.
void refuseIfTrialStopped(const fs::path& path, std::uint64_t size, const ChildOutcome& outcome)
{
    if (outcome.timedOut)
        throw FileFormatError(path, "damaged content: a trial read of its " + std::to_string(size) +
                                        " bytes did not end within " +
                                        std::to_string(trialReadLimit(size).count() / 1000) + " s");
    if (outcome.stoppingSignal != 0) {
        const char* name = ::sigabbrev_np(outcome.stoppingSignal);
        throw FileFormatError(path, std::string("damaged content: its HDF5 structure stops the HDF5 library (SIG") +
                                        (name ? name : std::to_string(outcome.stoppingSignal).c_str()) +
                                        " in a trial read)");
    }
}

/// Runs a trial read of the content in a child process and refuses the file when a signal ended
/// it or it did not end in time. The checksum keeps out accidental damage, but a forged file can
/// stop the HDF5 library on one of its internal assertions (or keep it busy without end), which
/// would end or hang the caller's process with all its unsaved work. Returns the trial's exit
/// status; trialReadAll when no child could be started, so that reading goes on in this process
/// as it did before such trials.
///
/// Safe while other threads work: the fork waits until no thread is in an HDF5 session or the
/// codec registry, so that the child finds both free.
int refuseIfReadingStops(const fs::path& path, std::uint64_t size, const std::function<int()>& read)
{
    Hdf5Session::keepForksSafe();
    const std::chrono::milliseconds limit = trialReadLimit(size);
    const ChildOutcome outcome = runInChildProcess(read, limit);
    refuseIfTrialStopped(path, size, outcome);
    return outcome.ran ? outcome.exitStatus : trialReadAll;
}

/// The trial read of content in a child: trialLackedCodec when no loaded library reads its kind.
/// Refusals of the content itself are left to the reading in this process, which names them.
int trialRead(std::vector<unsigned char>& bytes, const fs::path& path)
{
    try {
        const Hdf5Session session;
        MemoryFile trialFile(bytes, bytes.size());
        if (!findCodec(contentKind(trialFile, path)))
            return trialLackedCodec;
        readData(trialFile.root());
    }
    catch (...) {
    }
    return trialReadAll;
}

/// Runs what reads the content in an HDF5 session, turning failures into FileFormatError.
template <typename Reading>
auto readContent(const fs::path& path, Reading&& reading)
{
    try {
        const Hdf5Session session;
        return reading();
    }
    catch (const FileError&) {
        throw;
    }
    catch (const std::bad_alloc&) {
        throw FileFormatError(path, "damaged content: it asks for more memory than there is");
    }
    catch (const std::exception& error) {
        throw FileFormatError(path, std::string("damaged content: ") + error.what());
    }
}

}  // namespace

FileError::FileError(fs::path path, std::string reason, int errorNumber)
    : std::runtime_error(path.string() + ": " + reason), m_path(std::move(path)), m_reason(std::move(reason)),
      m_errorNumber(errorNumber)
{
}

FileNotFoundError::FileNotFoundError(fs::path path, std::string reason)
    : FileError(std::move(path), std::move(reason), ENOENT)
{
}

void requireReplaceableTarget(const fs::path& target)
{
    if (!target.has_filename())
        throw FileAccessError(target, "names no file", EISDIR);
    struct stat status;
    if (::lstat(target.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return;
        failSystem(target, "cannot inspect the target", errno);
    }
    if (S_ISDIR(status.st_mode))
        throw FileAccessError(target, "is a directory", EISDIR);
    if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
        throw FileAccessError(target, "is not a regular file; saving replaces only regular files and symbolic links",
                              EINVAL);
}

void writeFileAtomically(const fs::path& path, std::span<const unsigned char> bytes)
{
    TemporaryFile temporary(path);
    writeAll(temporary.descriptor(), bytes, path);
    // A replaced file keeps its permissions.
    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ::chmod(temporary.path().c_str(), existing.st_mode & 07777);
    if (::rename(temporary.path().c_str(), path.c_str()) != 0)
        failSystem(path, "cannot move the written file into place", errno);
    temporary.keep();
    syncDirectory(path);
}

void save(const Data& data, const fs::path& path)
{
    requireReplaceableTarget(path);
    std::vector<unsigned char> image;
    {
        try {
            const Hdf5Session session;
            image = hdf5Image(data);
        }
        catch (const FileError&) {
            throw;
        }
        catch (const std::invalid_argument& error) {
            throw UnsupportedDataError(path, std::string("cannot save: ") + error.what());
        }
        catch (const std::bad_alloc&) {
            throw FileAccessError(path, "cannot save: not enough memory for the file's content", ENOMEM);
        }
        catch (const std::exception& error) {
            throw FileAccessError(path, std::string("cannot save: ") + error.what(), EIO);
        }
    }
    writeHeader(image, path);
    writeFileAtomically(path, image);
}

namespace {

/// Reads checked bytes whose trial read ended with `trial`, as load() describes.
std::unique_ptr<Data> readTrialled(const fs::path& path, std::vector<unsigned char>& bytes, int trial,
                                   const KindHook& beforeReading)
{
    const std::uint64_t size = bytes.size();
    // The file is closed again before the hook runs: the hook may wait for other threads, which
    // may wait for the HDF5 session.
    const std::string kind = readContent(path, [&] { return contentKind(MemoryFile(bytes, size), path); });
    if (beforeReading)
        beforeReading(kind);
    if (!findCodec(kind))
        throw FileFormatError(path, "holds data of kind '" + kind + "', which no loaded library reads");
    // The hook may just have brought the reader of this kind, which the trial could not use.
    if (trial == trialLackedCodec)
        refuseIfReadingStops(path, size, [&] { return trialRead(bytes, path); });
    return readContent(path, [&] { return readData(MemoryFile(bytes, size).root()); });
}

}  // namespace

std::unique_ptr<Data> load(const fs::path& path, const KindHook& beforeReading)
{
    std::vector<unsigned char> bytes = readDataFile(path);
    // The child reads its own copy of the bytes.
    const int trial = refuseIfReadingStops(path, bytes.size(), [&] { return trialRead(bytes, path); });
    return readTrialled(path, bytes, trial, beforeReading);
}

void loadEach(const std::vector<fs::path>& paths, const EachLoaded& each)
{
    std::vector<std::vector<unsigned char>> contents(paths.size());
    std::vector<std::exception_ptr> refusals(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        try {
            contents[i] = readDataFile(paths[i]);
        }
        catch (...) {
            refusals[i] = std::current_exception();
        }
    }
    std::size_t next = 0;
    while (next < paths.size()) {
        // One child trial-reads from here to the end, a file ahead of this process; a file that
        // stops it is refused, and the next child starts after it.
        Hdf5Session::keepForksSafe();
        const std::size_t first = next;
        ReportingChild child([&](const ReportingChild::Report& report) {
            for (std::size_t i = first; i < paths.size(); ++i)
                report(static_cast<unsigned char>(refusals[i] ? trialReadAll : trialRead(contents[i], paths[i])));
        });
        bool childGone = !child.started();
        while (next < paths.size()) {
            const std::size_t i = next++;
            std::unique_ptr<Data> data;
            std::exception_ptr refusal = refusals[i];
            try {
                std::optional<unsigned char> trial = static_cast<unsigned char>(trialReadAll);
                if (!childGone) {
                    trial = child.next(trialReadLimit(contents[i].size()));
                    childGone = !trial;
                }
                if (!refusal) {
                    if (!trial)
                        refuseIfTrialStopped(paths[i], contents[i].size(), child.outcome());
                    // A child that ended without a word leaves this file to a reading of its own.
                    data = trial ? readTrialled(paths[i], contents[i], *trial, {}) : load(paths[i]);
                }
            }
            catch (...) {
                refusal = std::current_exception();
            }
            contents[i] = {};
            if (!each(i, std::move(data), refusal))
                return;
            if (childGone && child.started())
                break;
        }
    }
}

std::unique_ptr<Data> load(const fs::path& path, const std::string& expectedKind)
{
    return load(path, [&](const std::string& kind) {
        if (kind != expectedKind)
            throw FileFormatError(path, "holds data of kind '" + kind + "', not '" + expectedKind + "'");
    });
}

}  // namespace corvaxis::io
