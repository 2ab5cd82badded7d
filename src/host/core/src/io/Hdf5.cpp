#include "corvaxis/core/io/Hdf5.h"

#include "corvaxis/core/String.h"
#include "corvaxis/core/io/DataCodec.h"

#include <hdf5.h>
#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <type_traits>

static_assert(std::is_same_v<hid_t, corvaxis::io::Handle::Id>);
static_assert(std::is_same_v<H5E_auto2_t, corvaxis::io::Hdf5Session::AutoFunction>);

namespace corvaxis::io {

namespace {

/// The most specific message on HDF5's error stack, which says best what went wrong; clears it.
std::string hdf5Reason()
{
    std::string reason;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned n, const H5E_error2_t* error, void* data) -> herr_t {
            if (n == 0 && error && error->desc)
                *static_cast<std::string*>(data) = error->desc;
            return 0;
        },
        &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason;
}

template <typename What>
[[noreturn]] void fail(What&& what)
{
    const std::string reason = hdf5Reason();
    std::string message = what();
    if (!reason.empty())
        message += " (HDF5: " + reason + ")";
    throw Hdf5Error(message);
}

/// Passes a valid identifier or status through; a negative one becomes an exception.
template <typename Result, typename What>
Result check(Result result, What&& what)
{
    if (result < 0)
        fail(std::forward<What>(what));
    return result;
}

hid_t memoryType(ElementType type)
{
    switch (type) {
    case ElementType::UInt8: return H5T_NATIVE_UINT8;
    case ElementType::Int8: return H5T_NATIVE_INT8;
    case ElementType::UInt16: return H5T_NATIVE_UINT16;
    case ElementType::Int16: return H5T_NATIVE_INT16;
    case ElementType::UInt32: return H5T_NATIVE_UINT32;
    case ElementType::Int32: return H5T_NATIVE_INT32;
    case ElementType::Float32: return H5T_NATIVE_FLOAT;
    case ElementType::Float64: return H5T_NATIVE_DOUBLE;
    }
    throw std::invalid_argument("unknown element type");
}

hid_t fileType(ElementType type)
{
    switch (type) {
    case ElementType::UInt8: return H5T_STD_U8LE;
    case ElementType::Int8: return H5T_STD_I8LE;
    case ElementType::UInt16: return H5T_STD_U16LE;
    case ElementType::Int16: return H5T_STD_I16LE;
    case ElementType::UInt32: return H5T_STD_U32LE;
    case ElementType::Int32: return H5T_STD_I32LE;
    case ElementType::Float32: return H5T_IEEE_F32LE;
    case ElementType::Float64: return H5T_IEEE_F64LE;
    }
    throw std::invalid_argument("unknown element type");
}

const char* typeText(ElementType type)
{
    static const char* const names[] = {"uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "float64"};
    return names[static_cast<int>(type)];
}

/// Text as fixed-size UTF-8 strings padded with NUL: the values sit inside the attribute itself.
/// Variable-length strings would live in HDF5's global heap, whose reader can loop forever on a
/// damaged heap (seen while fuzzing), so files hold none.
Handle textType(std::size_t size)
{
    const auto what = [] { return std::string("cannot make a text type"); };
    Handle type(check(H5Tcopy(H5T_C_S1), what));
    check(H5Tset_size(type.id(), std::max<std::size_t>(size, 1)), what);
    check(H5Tset_cset(type.id(), H5T_CSET_UTF8), what);
    check(H5Tset_strpad(type.id(), H5T_STR_NULLPAD), what);
    return type;
}

Handle creationList(hid_t listClass)
{
    // Without modification times, the same data always gives the same bytes.
    Handle list(check(H5Pcreate(listClass), [] { return std::string("cannot make a property list"); }));
    check(H5Pset_obj_track_times(list.id(), false), [] { return std::string("cannot set a property list"); });
    return list;
}

Handle simpleSpace(const Dimensions& dims)
{
    if (dims.empty())
        return Handle(check(H5Screate(H5S_SCALAR), [] { return std::string("cannot make a dataspace"); }));
    std::vector<hsize_t> extents(dims.begin(), dims.end());
    return Handle(check(H5Screate_simple(static_cast<int>(extents.size()), extents.data(), nullptr),
                        [] { return std::string("cannot make a dataspace"); }));
}

/// The extents of a stored dataspace; empty for a single value. Only scalar and simple spaces of
/// the wanted rank are accepted.
template <typename Where>
Dimensions extents(hid_t space, std::size_t rank, Where&& where)
{
    const H5S_class_t spaceClass = H5Sget_simple_extent_type(space);
    if (rank == 0) {
        if (spaceClass != H5S_SCALAR)
            throw Hdf5Error(where() + " is not a single value");
        return {};
    }
    const int stored = spaceClass == H5S_SIMPLE ? H5Sget_simple_extent_ndims(space) : -1;
    if (stored != static_cast<int>(rank))
        throw Hdf5Error(where() + " does not have " + std::to_string(rank) + " dimension(s)");
    std::vector<hsize_t> dims(rank);
    check(H5Sget_simple_extent_dims(space, dims.data(), nullptr), [&] { return where() + ": unreadable extents"; });
    return Dimensions(dims.begin(), dims.end());
}

/// Bytes of an array of the given extents, refusing what overflows or exceeds the limit.
template <typename Where>
std::uint64_t byteCount(const Dimensions& dims, ElementType type, std::uint64_t limit, Where&& where)
{
    std::uint64_t count = elementSize(type);
    for (std::uint64_t extent : dims) {
        if (extent != 0 && count > std::numeric_limits<std::uint64_t>::max() / extent)
            throw Hdf5Error(where() + " claims more elements than can exist");
        count *= extent;
    }
    if (count > limit)
        throw Hdf5Error(where() + " claims " + std::to_string(count) + " bytes, more than the file holds");
    return count;
}

template <typename Where>
void checkStoredType(hid_t stored, ElementType type, Where&& where)
{
    // Only the exact stored type is read: it is what writers store, and nothing else needs converting.
    if (H5Tequal(stored, fileType(type)) <= 0) {
        H5Eclear2(H5E_DEFAULT);
        throw Hdf5Error(where() + " is not stored as " + typeText(type));
    }
}

void checkText(const std::string& text, const std::string& where)
{
    if (text.find('\0') != std::string::npos)
        throw std::invalid_argument(where + " holds a NUL character, which stored text cannot hold");
    if (!String::isValidUtf8(text))
        throw std::invalid_argument(where + " holds bytes that are not UTF-8 text");
}

}  // namespace

void Handle::reset()
{
    if (m_id >= 0)
        H5Idec_ref(m_id);
    m_id = -1;
}

std::size_t elementSize(ElementType type)
{
    switch (type) {
    case ElementType::UInt8:
    case ElementType::Int8: return 1;
    case ElementType::UInt16:
    case ElementType::Int16: return 2;
    case ElementType::UInt32:
    case ElementType::Int32:
    case ElementType::Float32: return 4;
    case ElementType::Float64: return 8;
    }
    throw std::invalid_argument("unknown element type");
}

Group::Group(Handle handle, std::string path, std::shared_ptr<FileContext> context, int depth)
    : m_handle(std::move(handle)), m_path(std::move(path)), m_context(std::move(context)), m_depth(depth)
{
}

std::string Group::childPath(const std::string& name) const { return m_path == "/" ? "/" + name : m_path + "/" + name; }

Group Group::createGroup(const std::string& name)
{
    const std::string path = childPath(name);
    if (m_depth + 1 > maxDepth)
        throw std::invalid_argument("group '" + path + "' nests deeper than " + std::to_string(maxDepth) + " levels");
    const Handle list = creationList(H5P_GROUP_CREATE);
    Handle group(check(H5Gcreate2(m_handle.id(), name.c_str(), H5P_DEFAULT, list.id(), H5P_DEFAULT),
                       [&] { return "cannot create group '" + path + "'"; }));
    return Group(std::move(group), path, m_context, m_depth + 1);
}

Group Group::openGroup(const std::string& name) const
{
    const std::string path = childPath(name);
    if (!has(name))
        throw Hdf5Error("group '" + path + "' is missing");
    if (m_depth + 1 > maxDepth)
        throw Hdf5Error("group '" + path + "' nests deeper than " + std::to_string(maxDepth) + " levels");
    Handle group(check(H5Gopen2(m_handle.id(), name.c_str(), H5P_DEFAULT),
                       [&] { return "'" + path + "' is not a readable group"; }));
    H5O_info2_t info;
    check(H5Oget_info3(group.id(), &info, H5O_INFO_BASIC), [&] { return "group '" + path + "' is unreadable"; });
    std::uint64_t token[2];
    static_assert(sizeof(token) == sizeof(info.token));
    std::memcpy(token, &info.token, sizeof(token));
    if (!m_context->visited.emplace(token[0], token[1]).second)
        throw Hdf5Error("group '" + path + "' is linked from more than one place");
    return Group(std::move(group), path, m_context, m_depth + 1);
}

bool Group::has(const std::string& name) const
{
    return check(H5Lexists(m_handle.id(), name.c_str(), H5P_DEFAULT),
                 [&] { return "cannot look up '" + childPath(name) + "'"; }) > 0;
}

std::vector<std::string> Group::childNames() const
{
    std::vector<std::string> names;
    check(H5Literate2(
              m_handle.id(), H5_INDEX_NAME, H5_ITER_INC, nullptr,
              [](hid_t, const char* name, const H5L_info2_t*, void* data) -> herr_t {
                  static_cast<std::vector<std::string>*>(data)->emplace_back(name);
                  return 0;
              },
              &names),
          [&] { return "cannot list the children of '" + m_path + "'"; });
    return names;
}

std::vector<Group> Group::indexedGroups() const
{
    const std::vector<std::string> names = childNames();
    std::vector<bool> seen(names.size(), false);
    for (const std::string& name : names) {
        std::size_t index = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), index);
        const bool canonical = error == std::errc() && end == name.data() + name.size() && (name == "0" || name[0] != '0');
        if (!canonical || index >= names.size() || seen[index])
            throw Hdf5Error("group '" + m_path + "' holds '" + name + "' among children that should be numbered 0 to " +
                            std::to_string(names.size()) + " - 1");
        seen[index] = true;
    }
    std::vector<Group> groups;
    groups.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        groups.push_back(openGroup(std::to_string(i)));
    return groups;
}

bool Group::hasAttribute(const std::string& name) const
{
    return check(H5Aexists(m_handle.id(), name.c_str()),
                 [&] { return "cannot look up attribute '" + name + "' of '" + m_path + "'"; }) > 0;
}

void Group::setText(const std::string& name, const std::string& text)
{
    writeTexts(name, {text}, {});
}

void Group::setTexts(const std::string& name, const std::vector<std::string>& texts)
{
    writeTexts(name, texts, {texts.size()});
}

void Group::writeTexts(const std::string& name, const std::vector<std::string>& texts, const Dimensions& dims)
{
    const auto where = [&] { return "attribute '" + name + "' of '" + m_path + "'"; };
    std::size_t size = 1;
    for (const std::string& text : texts) {
        checkText(text, where());
        size = std::max(size, text.size());
    }
    std::vector<char> buffer(texts.size() * size, '\0');
    for (std::size_t i = 0; i < texts.size(); ++i)
        std::memcpy(buffer.data() + i * size, texts[i].data(), texts[i].size());
    const Handle type = textType(size);
    const Handle space = simpleSpace(dims);
    const Handle attribute(check(H5Acreate2(m_handle.id(), name.c_str(), type.id(), space.id(), H5P_DEFAULT, H5P_DEFAULT),
                                 [&] { return "cannot create " + where(); }));
    if (!buffer.empty())
        check(H5Awrite(attribute.id(), type.id(), buffer.data()), [&] { return "cannot write " + where(); });
}

std::vector<std::string> Group::readTexts(const std::string& name, std::size_t rank) const
{
    const auto where = [&] { return "attribute '" + name + "' of '" + m_path + "'"; };
    if (!hasAttribute(name))
        throw Hdf5Error(where() + " is missing");
    const Handle attribute(check(H5Aopen(m_handle.id(), name.c_str(), H5P_DEFAULT), [&] { return "cannot open " + where(); }));
    const Handle stored(check(H5Aget_type(attribute.id()), [&] { return "cannot read the type of " + where(); }));
    // ASCII and NUL-terminated strings are accepted too: that is what other tools (h5py) write.
    const H5T_str_t padding = H5Tget_strpad(stored.id());
    const bool fixedText = H5Tget_class(stored.id()) == H5T_STRING && H5Tis_variable_str(stored.id()) == 0 &&
                           (padding == H5T_STR_NULLPAD || padding == H5T_STR_NULLTERM);
    H5Eclear2(H5E_DEFAULT);
    if (!fixedText)
        throw Hdf5Error(where() + " is not stored as text");
    const std::size_t size = H5Tget_size(stored.id());
    const Handle space(check(H5Aget_space(attribute.id()), [&] { return "cannot read the extent of " + where(); }));
    const Dimensions dims = extents(space.id(), rank, where);
    const std::uint64_t count = rank == 0 ? 1 : dims[0];
    if (size == 0 || size > m_context->maxArrayBytes || count > m_context->maxArrayBytes / size)
        throw Hdf5Error(where() + " claims more text than the file holds");
    std::vector<char> buffer(count * size);
    // Read as stored: HDF5 converts between character sets only by failing.
    if (!buffer.empty())
        check(H5Aread(attribute.id(), stored.id(), buffer.data()), [&] { return "cannot read " + where(); });
    std::vector<std::string> texts;
    texts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char* text = buffer.data() + i * size;
        texts.emplace_back(text, std::find(text, text + size, '\0'));
        if (!String::isValidUtf8(texts.back()))
            throw Hdf5Error(where() + " holds bytes that are not UTF-8 text");
    }
    return texts;
}

std::string Group::text(const std::string& name) const { return readTexts(name, 0).front(); }

std::vector<std::string> Group::texts(const std::string& name) const { return readTexts(name, 1); }

void Group::setAttribute(const std::string& name, ElementType type, const void* values, const Dimensions& dims)
{
    const auto where = [&] { return "attribute '" + name + "' of '" + m_path + "'"; };
    const Handle space = simpleSpace(dims);
    const Handle attribute(
        check(H5Acreate2(m_handle.id(), name.c_str(), fileType(type), space.id(), H5P_DEFAULT, H5P_DEFAULT),
              [&] { return "cannot create " + where(); }));
    if (byteCount(dims, type, UINT64_MAX, where) > 0)
        check(H5Awrite(attribute.id(), memoryType(type), values), [&] { return "cannot write " + where(); });
}

void Group::attribute(const std::string& name, ElementType type, void* values, const Dimensions& expected) const
{
    const auto where = [&] { return "attribute '" + name + "' of '" + m_path + "'"; };
    if (!hasAttribute(name))
        throw Hdf5Error(where() + " is missing");
    const Handle attribute(check(H5Aopen(m_handle.id(), name.c_str(), H5P_DEFAULT), [&] { return "cannot open " + where(); }));
    const Handle stored(check(H5Aget_type(attribute.id()), [&] { return "cannot read the type of " + where(); }));
    checkStoredType(stored.id(), type, where);
    const Handle space(check(H5Aget_space(attribute.id()), [&] { return "cannot read the extent of " + where(); }));
    if (extents(space.id(), expected.size(), where) != expected)
        throw Hdf5Error(where() + " does not have the expected extents");
    if (byteCount(expected, type, UINT64_MAX, where) > 0)
        check(H5Aread(attribute.id(), memoryType(type), values), [&] { return "cannot read " + where(); });
}

void Group::writeArray(const std::string& name, ElementType type, const void* values, const Dimensions& dims)
{
    const auto where = [&] { return "array '" + childPath(name) + "'"; };
    const Handle space = simpleSpace(dims);
    const Handle list = creationList(H5P_DATASET_CREATE);
    const Handle dataset(
        check(H5Dcreate2(m_handle.id(), name.c_str(), fileType(type), space.id(), H5P_DEFAULT, list.id(), H5P_DEFAULT),
              [&] { return "cannot create " + where(); }));
    if (byteCount(dims, type, UINT64_MAX, where) > 0)
        check(H5Dwrite(dataset.id(), memoryType(type), H5S_ALL, H5S_ALL, H5P_DEFAULT, values),
              [&] { return "cannot write " + where(); });
}

void Group::readArray(const std::string& name, ElementType type, std::size_t rank,
                      const Destination& destination) const
{
    const auto where = [&] { return "array '" + childPath(name) + "'"; };
    if (!has(name))
        throw Hdf5Error(where() + " is missing");
    const Handle dataset(check(H5Dopen2(m_handle.id(), name.c_str(), H5P_DEFAULT), [&] { return "cannot open " + where(); }));
    const Handle stored(check(H5Dget_type(dataset.id()), [&] { return "cannot read the type of " + where(); }));
    checkStoredType(stored.id(), type, where);
    const Handle space(check(H5Dget_space(dataset.id()), [&] { return "cannot read the extent of " + where(); }));
    const Dimensions dims = extents(space.id(), rank, where);
    const std::uint64_t bytes = byteCount(dims, type, m_context->maxArrayBytes, where);
    void* target = destination(dims);
    if (bytes > 0)
        check(H5Dread(dataset.id(), memoryType(type), H5S_ALL, H5S_ALL, H5P_DEFAULT, target),
              [&] { return "cannot read " + where(); });
}

std::vector<std::byte> Group::readArray(const std::string& name, ElementType type, std::size_t rank,
                                        Dimensions& dims) const
{
    std::vector<std::byte> bytes;
    readArray(name, type, rank, [&](const Dimensions& extents) {
        dims = extents;
        bytes.resize(byteCount(extents, type, UINT64_MAX, [] { return std::string(); }));
        return bytes.data();
    });
    return bytes;
}

namespace {

std::mutex& sessionMutex()
{
    // Never destroyed, and known to fork from its first use on: a fork waits for the session in
    // progress, and both processes go on with it free.
    static std::mutex* const mutex = [] {
        auto* created = new std::mutex;
        // The codec registry's fork handler first: handlers prepare in the reverse order, so the
        // fork takes the registry last, after the session that may be looking codecs up.
        findCodec(std::string());
        ::pthread_atfork(
            [] { sessionMutex().lock(); }, [] { sessionMutex().unlock(); }, [] { sessionMutex().unlock(); });
        return created;
    }();
    return *mutex;
}

}  // namespace

void Hdf5Session::keepForksSafe() { sessionMutex(); }

Hdf5Session::Hdf5Session() : m_lock(sessionMutex())
{
    H5Eget_auto2(H5E_DEFAULT, &m_function, &m_data);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

Hdf5Session::~Hdf5Session() { H5Eset_auto2(H5E_DEFAULT, m_function, m_data); }

}  // namespace corvaxis::io
