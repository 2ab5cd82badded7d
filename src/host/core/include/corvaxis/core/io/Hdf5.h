#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// A small layer over HDF5's C API for the codecs of data files: identifiers that close
// themselves, groups with typed attributes and arrays, and every failure as an exception. The
// HDF5 headers stay out of this header, so users of the codecs need no HDF5 of their own.
namespace corvaxis::io {

/// An HDF5 call failed, or stored content is not what a reader expects. The message says what
/// and where inside the file (a group path); the file layer adds which file.
class Hdf5Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// An HDF5 identifier, released when the handle goes.
class Handle {
public:
    using Id = std::int64_t;

    Handle() = default;
    explicit Handle(Id id) : m_id(id) {}
    Handle(Handle&& other) noexcept : m_id(std::exchange(other.m_id, -1)) {}
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_id = std::exchange(other.m_id, -1);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    Id id() const { return m_id; }
    explicit operator bool() const { return m_id >= 0; }
    void reset();
    /// Gives up the identifier without releasing it, for a caller that closes it explicitly.
    Id release() { return std::exchange(m_id, -1); }

private:
    Id m_id = -1;
};

/// Element types of stored numbers; files hold them little-endian.
enum class ElementType { UInt8, Int8, UInt16, Int16, UInt32, Int32, Float32, Float64 };

std::size_t elementSize(ElementType type);

template <typename T>
constexpr ElementType elementTypeOf()
{
    if constexpr (std::is_same_v<T, std::uint8_t>)
        return ElementType::UInt8;
    else if constexpr (std::is_same_v<T, std::int8_t>)
        return ElementType::Int8;
    else if constexpr (std::is_same_v<T, std::uint16_t>)
        return ElementType::UInt16;
    else if constexpr (std::is_same_v<T, std::int16_t>)
        return ElementType::Int16;
    else if constexpr (std::is_same_v<T, std::uint32_t>)
        return ElementType::UInt32;
    else if constexpr (std::is_same_v<T, std::int32_t>)
        return ElementType::Int32;
    else if constexpr (std::is_same_v<T, float>)
        return ElementType::Float32;
    else {
        static_assert(std::is_same_v<T, double>, "no stored element type for this C++ type");
        return ElementType::Float64;
    }
}

/// Extents of an array, slowest first; empty for a single value.
using Dimensions = std::vector<std::uint64_t>;

/// Bookkeeping shared by all groups of one open file.
struct FileContext {
    /// No array read may hold more bytes than this: a file cannot store more than its own size,
    /// so a larger extent is damage, and refusing it keeps a damaged file from exhausting memory.
    std::uint64_t maxArrayBytes = UINT64_MAX;
    /// Groups already opened while reading; a group reached twice means links form a loop.
    std::set<std::pair<std::uint64_t, std::uint64_t>> visited;
};

/// A group of an open file. Children are groups (opened by name) and arrays (datasets); small
/// values are attributes. Readers check type, shape and size of everything they read.
class Group {
public:
    /// Deeper nesting is refused when writing and when reading, so that reading recurses boundedly.
    static constexpr int maxDepth = 200;

    Group(Handle handle, std::string path, std::shared_ptr<FileContext> context, int depth = 0);
    Group(Group&&) noexcept = default;
    Group& operator=(Group&&) noexcept = default;

    /// Where the group sits in the file, for messages ("/structures/0").
    const std::string& path() const { return m_path; }
    Handle::Id id() const { return m_handle.id(); }

    Group createGroup(const std::string& name);
    /// Opens a child group; throws when it is missing, not a group, or was opened before.
    Group openGroup(const std::string& name) const;
    bool has(const std::string& name) const;
    std::vector<std::string> childNames() const;
    /// The child groups named "0", "1", ... in that order; throws unless these are all children.
    std::vector<Group> indexedGroups() const;

    bool hasAttribute(const std::string& name) const;
    void setText(const std::string& name, const std::string& text);
    std::string text(const std::string& name) const;
    void setTexts(const std::string& name, const std::vector<std::string>& texts);
    std::vector<std::string> texts(const std::string& name) const;

    void setAttribute(const std::string& name, ElementType type, const void* values, const Dimensions& dims);
    /// Reads an attribute of exactly the expected extents into values.
    void attribute(const std::string& name, ElementType type, void* values, const Dimensions& expected) const;

    template <typename T>
    void setScalar(const std::string& name, T value)
    {
        setAttribute(name, elementTypeOf<T>(), &value, {});
    }
    template <typename T>
    T scalar(const std::string& name) const
    {
        T value{};
        attribute(name, elementTypeOf<T>(), &value, {});
        return value;
    }

    void writeArray(const std::string& name, ElementType type, const void* values, const Dimensions& dims);
    /// Reads an array of the given rank straight into the memory that destination returns for
    /// its extents, which must hold exactly as many elements (it is not called with a size the
    /// file cannot hold).
    using Destination = std::function<void*(const Dimensions& dims)>;
    void readArray(const std::string& name, ElementType type, std::size_t rank, const Destination& destination) const;
    /// Reads an array of the given rank; dims receives its extents.
    std::vector<std::byte> readArray(const std::string& name, ElementType type, std::size_t rank,
                                     Dimensions& dims) const;

    template <typename T>
    void writeArray(const std::string& name, const T* values, const Dimensions& dims)
    {
        writeArray(name, elementTypeOf<T>(), values, dims);
    }
    template <typename T>
    std::vector<T> readArray(const std::string& name, std::size_t rank, Dimensions& dims) const
    {
        std::vector<T> values;
        readArray(name, elementTypeOf<T>(), rank, [&](const Dimensions& extents) {
            dims = extents;
            std::uint64_t count = 1;
            for (std::uint64_t extent : extents)
                count *= extent;
            values.resize(count);
            return static_cast<void*>(values.data());
        });
        return values;
    }

private:
    std::string childPath(const std::string& name) const;
    void writeTexts(const std::string& name, const std::vector<std::string>& texts, const Dimensions& dims);
    std::vector<std::string> readTexts(const std::string& name, std::size_t rank) const;

    Handle m_handle;
    std::string m_path;
    std::shared_ptr<FileContext> m_context;
    int m_depth;
};

/// Every use of HDF5 in this process runs inside a session: it holds the process's one HDF5 lock
/// and turns off HDF5's printing of errors to standard error (failures become exceptions
/// instead), restoring the previous setting afterwards. HDF5 keeps global state; one session at
/// a time keeps it whole, and a fork of the process waits until no thread is inside a session, so
/// that a child never inherits that state half changed or the lock held. Sessions do not nest,
/// and a thread in one never waits for anything that another session could hold (the Python
/// interpreter lock included).
class Hdf5Session {
public:
    Hdf5Session();
    ~Hdf5Session();
    Hdf5Session(const Hdf5Session&) = delete;
    Hdf5Session& operator=(const Hdf5Session&) = delete;

    /// From now on, forks of the process wait as described (the first session does this too).
    static void keepForksSafe();

    /// HDF5's automatic error handler (H5E_auto2_t).
    using AutoFunction = int (*)(std::int64_t, void*);

private:
    std::unique_lock<std::mutex> m_lock;
    AutoFunction m_function = nullptr;
    void* m_data = nullptr;
};

}  // namespace corvaxis::io
