#include "corvaxis/core/io/Nrrd.h"

#include "ImageFiles.h"

#include <teem/biff.h>
#include <teem/nrrd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace corvaxis::io {

namespace fs = std::filesystem;

namespace {

// Teem keeps its errors in a process-wide store and has global options.
std::mutex g_teemMutex;

/// Longer headers are refused unread: a segmentation of a thousand segments needs some 100 KB.
constexpr std::size_t maximumHeaderBytes = std::size_t(16) << 20;

struct NrrdDeleter {
    void operator()(Nrrd* nrrd) const { nrrdNuke(nrrd); }
};
struct IoStateDeleter {
    void operator()(NrrdIoState* state) const { nrrdIoStateNix(state); }
};
using NrrdPtr = std::unique_ptr<Nrrd, NrrdDeleter>;
using IoStatePtr = std::unique_ptr<NrrdIoState, IoStateDeleter>;

/// Teem's account of its last failure, on one line.
std::string teemReason()
{
    std::unique_ptr<char, decltype(&std::free)> message(biffGetDone(NRRD), &std::free);
    std::string text = message ? message.get() : "";
    std::string line;
    bool space = false;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) || !std::isprint(static_cast<unsigned char>(c))) {
            space = !line.empty();
            continue;
        }
        if (space)
            line += ' ';
        space = false;
        line += c;
    }
    if (line.size() > 400)
        line = line.substr(0, 400) + "...";
    return line.empty() ? "no reason given" : line;
}

std::string trimmed(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

/// What the reader needs to know of the header text before Teem sees it: where attached data
/// starts and which file holds detached data.
struct HeaderText {
    std::uintmax_t dataOffset = 0;  // after the blank line that ends the header
    std::optional<fs::path> dataFile;
    bool skips = false;             // "line skip" or "byte skip" move the data's start
};

/// Reads the header lines up to the blank line that ends them, checks the magic, and finds the
/// data file a detached header names. Only a single data file is read: a header naming a list or
/// a numbered series of them is refused, and the data file must be a regular file (Teem opening
/// a FIFO or a device could wait forever or read without end).
HeaderText scanHeader(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw FileAccessError(path, std::string("cannot open the file: ") + std::strerror(errno), errno);
    HeaderText header;
    std::string line;
    bool first = true;
    while (std::getline(file, line)) {
        header.dataOffset += line.size() + 1;
        if (header.dataOffset > maximumHeaderBytes)
            throw FileFormatError(path, "the header is longer than " + std::to_string(maximumHeaderBytes >> 20) + " MiB");
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first) {
            if (line.size() < 8 || line.compare(0, 7, "NRRD000") != 0 || line[7] < '1' || line[7] > '9')
                throw FileFormatError(path, "not a NRRD file (it does not start with the NRRD magic)");
            first = false;
            continue;
        }
        if (line.empty())
            break;
        if (line[0] == '#')
            continue;
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        for (const char* skip : {"line skip:", "lineskip:", "byte skip:", "byteskip:"})
            header.skips = header.skips || lower.starts_with(skip);
        std::size_t field = 0;
        if (lower.starts_with("data file:"))
            field = 10;
        else if (lower.starts_with("datafile:"))
            field = 9;
        // "data file:=..." is a key/value pair, not the field.
        if (field == 0 || (line.size() > field && line[field] == '='))
            continue;
        const std::string value = trimmed(line.substr(field));
        if (value == "LIST" || value.starts_with("LIST ") || value.find('%') != std::string::npos)
            throw FileFormatError(path, "the header names several data files (\"data file: " + value +
                                            "\"); only a single data file is read");
        if (value.empty())
            throw FileFormatError(path, "the header's data file field is empty");
        const fs::path named(value);
        header.dataFile = named.is_absolute() ? named : path.parent_path() / named;
    }
    if (first)
        throw FileFormatError(path, "not a NRRD file (it is empty)");
    if (header.dataFile)
        detail::requireReadableFile(*header.dataFile);
    return header;
}

/// How the voxel type of the file is held in an image; 64-bit integers are narrowed when they fit.
std::optional<PixelType> pixelTypeOf(int type)
{
    switch (type) {
    case nrrdTypeChar: return PixelType::Int8;
    case nrrdTypeUChar: return PixelType::UInt8;
    case nrrdTypeShort: return PixelType::Int16;
    case nrrdTypeUShort: return PixelType::UInt16;
    case nrrdTypeInt:
    case nrrdTypeLLong: return PixelType::Int32;
    case nrrdTypeUInt:
    case nrrdTypeULLong: return PixelType::UInt32;
    case nrrdTypeFloat: return PixelType::Float;
    case nrrdTypeDouble: return PixelType::Double;
    default: return std::nullopt;
    }
}

/// The array's layout as images: which axis lists the images (if any) and the three that span
/// each image, fastest first.
struct Layout {
    std::optional<unsigned> listAxis;
    std::array<unsigned, 3> imageAxes{};
    std::array<int, 3> dimensions{};
    int images = 1;
    std::size_t elements = 0;
};

bool hasDirection(const Nrrd& nrrd, unsigned axis)
{
    for (unsigned component = 0; component < nrrd.spaceDim; ++component)
        if (std::isnan(nrrd.axis[axis].spaceDirection[component]))
            return false;
    return true;
}

/// A kind that never spans space: the axis lists values at each voxel.
bool isListKind(int kind)
{
    return kind != nrrdKindUnknown && kind != nrrdKindDomain && kind != nrrdKindSpace && kind != nrrdKindTime;
}

Layout layoutOf(const Nrrd& nrrd, const fs::path& path)
{
    if (nrrd.dim != 3 && nrrd.dim != 4)
        throw FileFormatError(path, "the file holds a " + std::to_string(nrrd.dim) +
                                        "-D array: a 3-D image is read, or several along one list axis of a 4-D array");
    Layout layout;
    if (nrrd.dim == 4) {
        std::vector<unsigned> candidates;
        for (unsigned axis = 0; axis < 4; ++axis)
            if (nrrd.spaceDim > 0 ? !hasDirection(nrrd, axis) : isListKind(nrrd.axis[axis].kind))
                candidates.push_back(axis);
        if (candidates.size() != 1)
            throw FileFormatError(path, nrrd.spaceDim > 0
                                            ? "a 4-D array needs space directions for exactly three axes and \"none\" "
                                              "for the list axis"
                                            : "a 4-D array without a space needs exactly one axis of kind list");
        layout.listAxis = candidates.front();
    }
    else if (nrrd.spaceDim > 0)
        for (unsigned axis = 0; axis < 3; ++axis)
            if (!hasDirection(nrrd, axis))
                throw FileFormatError(path, "axis " + std::to_string(axis) +
                                                " has no space direction: the file does not describe a 3-D image");
    std::size_t elements = 1;
    unsigned next = 0;
    for (unsigned axis = 0; axis < nrrd.dim; ++axis) {
        const std::size_t size = nrrd.axis[axis].size;
        if (size < 1 || size > static_cast<std::size_t>(INT_MAX) || __builtin_mul_overflow(elements, size, &elements))
            throw FileFormatError(path, "the header's sizes overflow");
        if (layout.listAxis == axis)
            layout.images = static_cast<int>(size);
        else {
            layout.imageAxes[next] = axis;
            layout.dimensions[next++] = static_cast<int>(size);
        }
    }
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(elements, std::size_t(8), &bytes) || bytes > (std::size_t(1) << 62))
        throw FileFormatError(path, "the header's sizes overflow");
    layout.elements = elements;
    return layout;
}

/// The voxel-to-world mapping in the right-anterior-superior world.
Mat4 voxelToWorldOf(const Nrrd& nrrd, const Layout& layout, const fs::path& path)
{
    Mat4 affine = Mat4::Identity();
    if (nrrd.spaceDim == 0) {
        for (int column = 0; column < 3; ++column) {
            const double spacing = nrrd.axis[layout.imageAxes[static_cast<std::size_t>(column)]].spacing;
            affine(column, column) = std::isnan(spacing) ? 1.0 : spacing;
        }
    }
    else {
        if (nrrd.spaceDim != 3)
            throw FileFormatError(path, "the file's space has " + std::to_string(nrrd.spaceDim) +
                                            " dimensions: a 3-D space is read");
        for (int column = 0; column < 3; ++column)
            for (int row = 0; row < 3; ++row)
                affine(row, column) = nrrd.axis[layout.imageAxes[static_cast<std::size_t>(column)]].spaceDirection[row];
        const double* origin = nrrd.spaceOrigin;
        const bool noOrigin = std::isnan(origin[0]) && std::isnan(origin[1]) && std::isnan(origin[2]);
        if (!noOrigin)
            affine.col(3).head<3>() = Vec3(origin[0], origin[1], origin[2]);
        // Left-posterior-superior and left-anterior-superior coordinates point x (and y) the other way.
        switch (nrrd.space) {
        case nrrdSpaceLeftPosteriorSuperior:
            affine.row(1) *= -1.0;
            [[fallthrough]];
        case nrrdSpaceLeftAnteriorSuperior:
            affine.row(0) *= -1.0;
            break;
        case nrrdSpace3DLeftHanded:
            throw FileFormatError(path, "the file's space is 3D-left-handed, which names no anatomical directions");
        default:
            break;
        }
    }
    if (!detail::usableAffine(affine))
        throw FileFormatError(path, "the voxel-to-world mapping of the header (space directions, space origin or "
                                    "spacings) is degenerate or not finite");
    return affine;
}

/// Whether the gzip stream from offset on decompresses to at least `bytes` bytes. Teem is handed
/// only streams that do: on a damaged one it loses the memory of its decompressor.
bool gzipHolds(const fs::path& source, std::uintmax_t offset, std::size_t bytes)
{
    std::ifstream file(source, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    z_stream stream{};
    if (!file || inflateInit2(&stream, 15 + 16) != Z_OK)
        return false;
    std::vector<unsigned char> input(std::size_t(1) << 16), output(std::size_t(1) << 16);
    std::size_t produced = 0;
    int result = Z_OK;
    while (produced < bytes && result == Z_OK) {
        if (stream.avail_in == 0) {
            file.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(input.size()));
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(file.gcount());
            if (stream.avail_in == 0)
                break;
        }
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        result = inflate(&stream, Z_NO_FLUSH);
        produced += output.size() - stream.avail_out;
    }
    inflateEnd(&stream);
    return produced >= bytes && (result == Z_OK || result == Z_STREAM_END);
}

/// A file too small for what the header announces is refused before anything is allocated.
void requireEnoughData(const NrrdIoState& state, const HeaderText& header, std::size_t bytes, const fs::path& path)
{
    const fs::path& source = header.dataFile ? *header.dataFile : path;
    const std::uintmax_t size = detail::fileSize(source);
    const std::uintmax_t offset = header.dataFile ? 0 : std::min(size, header.dataOffset);
    const std::uintmax_t available = size - offset;
    const NrrdEncoding* encoding = state.encoding;
    bool enough = false;
    if (encoding == nrrdEncodingRaw)
        enough = bytes <= available;
    else if (encoding == nrrdEncodingGzip) {
        if (header.skips)
            throw FileFormatError(path, "line or byte skips before gzip data are not read");
        enough = gzipHolds(source, offset, bytes);
    }
    // A number in text takes at least one character, for a value of at most 8 bytes.
    else if (encoding == nrrdEncodingAscii)
        enough = bytes / 8 <= available;
    else if (encoding == nrrdEncodingHex)
        enough = bytes <= available / 2;
    else
        throw FileFormatError(path, std::string("the encoding ") + encoding->name +
                                        " is not read (raw, gzip, ascii and hex are)");
    if (!enough)
        throw FileFormatError(source, "the file holds less data than the header announces");
}

template <typename Source>
using HeldAs = std::conditional_t<std::is_same_v<Source, std::int64_t>, std::int32_t,
                                  std::conditional_t<std::is_same_v<Source, std::uint64_t>, std::uint32_t, Source>>;

/// Copies the voxels of one image (layer) out of the array, narrowing 64-bit integers that fit.
template <typename Source>
void copyLayer(const Source* source, std::byte* destination, const Layout& layout, std::size_t layer,
               const std::array<std::size_t, 4>& strides, const fs::path& path)
{
    using Target = HeldAs<Source>;
    auto* target = reinterpret_cast<Target*>(destination);
    const std::size_t listStride = layout.listAxis ? strides[*layout.listAxis] : 0;
    const std::size_t sx = strides[layout.imageAxes[0]], sy = strides[layout.imageAxes[1]],
                      sz = strides[layout.imageAxes[2]];
    const auto [nx, ny, nz] = layout.dimensions;
    const Source* start = source + layer * listStride;
    if constexpr (std::is_same_v<Source, Target>) {
        // A layer stored in one piece (no list axis, or the slowest one) is copied whole.
        const auto width = static_cast<std::size_t>(nx), height = static_cast<std::size_t>(ny);
        if (sx == 1 && sy == width && sz == width * height) {
            std::memcpy(target, start, width * height * static_cast<std::size_t>(nz) * sizeof(Source));
            return;
        }
    }
    std::size_t out = 0;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y) {
            const Source* row = start + static_cast<std::size_t>(z) * sz + static_cast<std::size_t>(y) * sy;
            for (int x = 0; x < nx; ++x) {
                const Source value = row[static_cast<std::size_t>(x) * sx];
                if constexpr (!std::is_same_v<Source, Target>)
                    if (value < static_cast<Source>(std::numeric_limits<Target>::min()) ||
                        value > static_cast<Source>(std::numeric_limits<Target>::max()))
                        throw FileFormatError(path, "64-bit voxel values outside the 32-bit range are not supported");
                target[out++] = static_cast<Target>(value);
            }
        }
}

template <typename Function>
void dispatchSource(int type, const void* data, Function&& function)
{
    switch (type) {
    case nrrdTypeChar: function(static_cast<const std::int8_t*>(data)); break;
    case nrrdTypeUChar: function(static_cast<const std::uint8_t*>(data)); break;
    case nrrdTypeShort: function(static_cast<const std::int16_t*>(data)); break;
    case nrrdTypeUShort: function(static_cast<const std::uint16_t*>(data)); break;
    case nrrdTypeInt: function(static_cast<const std::int32_t*>(data)); break;
    case nrrdTypeUInt: function(static_cast<const std::uint32_t*>(data)); break;
    case nrrdTypeLLong: function(static_cast<const std::int64_t*>(data)); break;
    case nrrdTypeULLong: function(static_cast<const std::uint64_t*>(data)); break;
    case nrrdTypeFloat: function(static_cast<const float*>(data)); break;
    case nrrdTypeDouble: function(static_cast<const double*>(data)); break;
    default: break;
    }
}

/// One segment of a 3D Slicer segmentation, from its keys "SegmentN_...".
struct Segment {
    std::string name;
    std::optional<std::string> identifier;
    std::optional<int> label;
    std::optional<int> layer;
    std::optional<Vec4> color;
};

std::optional<long long> integerOf(const std::string& text)
{
    const std::string value = trimmed(text);
    if (value.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return std::nullopt;
    return number;
}

/// The segments by number, from the key/value pairs; an unknown field of a segment is ignored.
std::map<int, Segment> segmentsOf(const Nrrd& nrrd, const fs::path& path)
{
    std::map<int, Segment> segments;
    const unsigned pairs = nrrdKeyValueSize(&nrrd);
    for (unsigned index = 0; index < pairs; ++index) {
        const std::string key = nrrd.kvp[2 * index] ? nrrd.kvp[2 * index] : "";
        const std::string value = nrrd.kvp[2 * index + 1] ? nrrd.kvp[2 * index + 1] : "";
        if (!key.starts_with("Segment") || key.size() < 9 || !std::isdigit(static_cast<unsigned char>(key[7])))
            continue;
        const std::size_t separator = key.find('_', 7);
        if (separator == std::string::npos)
            continue;
        const auto number = integerOf(key.substr(7, separator - 7));
        if (!number || *number < 0 || *number > INT_MAX)
            continue;
        const std::string field = key.substr(separator + 1);
        Segment& segment = segments[static_cast<int>(*number)];
        const auto refuse = [&](const std::string& what) {
            throw FileFormatError(path, "the segmentation's " + key + " (\"" + value + "\") " + what);
        };
        if (field == "Name")
            segment.name = value;
        else if (field == "ID")
            segment.identifier = value;
        else if (field == "LabelValue" || field == "Layer") {
            const auto integer = integerOf(value);
            if (!integer || *integer < (field == "Layer" ? 0 : INT_MIN) || *integer > INT_MAX)
                refuse(field == "Layer" ? "is not a layer number" : "is not a 32-bit integer label");
            (field == "Layer" ? segment.layer : segment.label) = static_cast<int>(*integer);
        }
        else if (field == "Color") {
            std::istringstream numbers(value);
            Vec4 color(0.0, 0.0, 0.0, 1.0);
            for (int component = 0; component < 3; ++component)
                if (!(numbers >> color[component]) || !(color[component] >= 0.0 && color[component] <= 1.0))
                    refuse("is not three numbers in [0, 1]");
            std::string rest;
            if (numbers >> rest)
                refuse("is not three numbers in [0, 1]");
            segment.color = color;
        }
    }
    return segments;
}

/// Gives each image (layer) the names and colours of its segments. Files of older versions of
/// 3D Slicer give neither label values nor layers: each segment is then label 1 of its own layer.
void applySegments(const std::map<int, Segment>& segments, SharedImageSet& images, const fs::path& path)
{
    const bool layerPerSegment = images.size() > 1 && static_cast<int>(segments.size()) == images.size() &&
                                 std::none_of(segments.begin(), segments.end(),
                                              [](const auto& entry) { return entry.second.layer.has_value(); });
    std::vector<std::map<int, std::string>> names(static_cast<std::size_t>(images.size()));
    std::vector<std::map<int, Vec4>> colors(names.size());
    int position = 0;
    for (const auto& [number, segment] : segments) {
        const int layer = segment.layer.value_or(layerPerSegment ? position : 0);
        ++position;
        if (layer >= images.size())
            throw FileFormatError(path, "the segmentation's Segment" + std::to_string(number) + "_Layer (" +
                                            std::to_string(layer) + ") names no layer of the " +
                                            std::to_string(images.size()) + " it holds");
        const int label = segment.label.value_or(1);
        const std::string name = !segment.name.empty() ? segment.name
                                 : segment.identifier  ? *segment.identifier
                                                       : "segment " + std::to_string(number);
        names[static_cast<std::size_t>(layer)][label] = name;
        if (segment.color)
            colors[static_cast<std::size_t>(layer)][label] = *segment.color;
    }
    for (int layer = 0; layer < images.size(); ++layer) {
        images.setLabelNames(std::move(names[static_cast<std::size_t>(layer)]), layer);
        images.setLabelColors(std::move(colors[static_cast<std::size_t>(layer)]), layer);
    }
}

/// Reads the file with Teem: the header alone, or the data too.
NrrdPtr readWithTeem(const fs::path& path, bool withData, IoStatePtr& state)
{
    NrrdPtr nrrd(nrrdNew());
    state.reset(nrrdIoStateNew());
    if (!nrrd || !state)
        throw std::bad_alloc();
    state->skipData = withData ? 0 : 1;
    if (nrrdLoad(nrrd.get(), path.c_str(), state.get()) != 0)
        throw FileFormatError(path, "Teem refuses the file: " + teemReason());
    if (state->format != nrrdFormatNRRD)
        throw FileFormatError(path, "not a NRRD file");
    return nrrd;
}

}  // namespace

bool isNrrdPath(const fs::path& path)
{
    const std::string name = detail::lowerCaseName(path);
    return name.ends_with(".nrrd") || name.ends_with(".nhdr");
}

std::unique_ptr<SharedImageSet> loadNrrd(const fs::path& path, std::optional<Modality> modality)
{
    detail::requireReadableFile(path);
    const HeaderText headerText = scanHeader(path);

    const std::lock_guard lock(g_teemMutex);
    nrrdStateVerboseIO = 0;
    IoStatePtr state;
    NrrdPtr header = readWithTeem(path, false, state);
    const std::optional<PixelType> pixelType = pixelTypeOf(header->type);
    if (!pixelType)
        throw FileFormatError(path, "the voxel type " + std::to_string(header->type) +
                                        " is not read (integers and floating-point numbers of up to 64 bits are)");
    const Layout layout = layoutOf(*header, path);
    const Mat4 voxelToWorld = voxelToWorldOf(*header, layout, path);
    requireEnoughData(*state, headerText, layout.elements * nrrdElementSize(header.get()), path);

    NrrdPtr nrrd = readWithTeem(path, true, state);
    // The file is read twice; what the second read gives must be what the first one checked.
    if (!nrrd->data || nrrd->type != header->type || nrrd->dim != header->dim ||
        nrrdElementNumber(nrrd.get()) != layout.elements)
        throw FileFormatError(path, "the file changed while it was read");

    std::array<std::size_t, 4> strides{1, 1, 1, 1};
    for (unsigned axis = 1; axis < nrrd->dim; ++axis)
        strides[axis] = strides[axis - 1] * nrrd->axis[axis - 1].size;
    auto images = std::make_unique<SharedImageSet>();
    for (int layer = 0; layer < layout.images; ++layer) {
        auto image = Image::forOverwrite(*pixelType, layout.dimensions);
        dispatchSource(nrrd->type, nrrd->data, [&](const auto* source) {
            copyLayer(source, image->data(), layout, static_cast<std::size_t>(layer), strides, path);
        });
        image->setVoxelToWorld(voxelToWorld);
        images->add(std::move(image));
    }
    const std::map<int, Segment> segments = segmentsOf(*nrrd, path);
    const std::string name = detail::lowerCaseName(path);
    const bool segmentation = !segments.empty() || name.ends_with(".seg.nrrd") || name.ends_with(".seg.nhdr");
    if (!segments.empty())
        applySegments(segments, *images, path);
    images->setModality(modality.value_or(segmentation ? Modality::Label : Modality::NA));
    images->setSelectedIndex(0);
    return images;
}

}  // namespace corvaxis::io
