#include "corvaxis/core/io/Nifti.h"

#include "AtomicFile.h"
#include "ImageFiles.h"

#include <Eigen/LU>
#include <nifti2_io.h>
#include <zlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <array>
#include <climits>
#include <limits>
#include <optional>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace corvaxis::io {

namespace fs = std::filesystem;

namespace {

// The reference library keeps global options and prints its own diagnostics; ours are exceptions.
std::mutex g_libraryMutex;

void quietLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { nifti_set_debug_level(0); });
}

struct NiftiImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;

bool isCompressedPath(const fs::path& path) { return detail::lowerCaseName(path).ends_with(".gz"); }

/// How a voxel type of the file is held in an image; 64-bit integers are narrowed when they fit.
struct VoxelType {
    PixelType pixelType;
    bool narrowed64 = false;
};

std::optional<VoxelType> voxelTypeOf(int datatype)
{
    switch (datatype) {
    case NIFTI_TYPE_UINT8: return VoxelType{PixelType::UInt8};
    case NIFTI_TYPE_INT8: return VoxelType{PixelType::Int8};
    case NIFTI_TYPE_UINT16: return VoxelType{PixelType::UInt16};
    case NIFTI_TYPE_INT16: return VoxelType{PixelType::Int16};
    case NIFTI_TYPE_UINT32: return VoxelType{PixelType::UInt32};
    case NIFTI_TYPE_INT32: return VoxelType{PixelType::Int32};
    case NIFTI_TYPE_FLOAT32: return VoxelType{PixelType::Float};
    case NIFTI_TYPE_FLOAT64: return VoxelType{PixelType::Double};
    case NIFTI_TYPE_INT64: return VoxelType{PixelType::Int32, true};
    case NIFTI_TYPE_UINT64: return VoxelType{PixelType::UInt32, true};
    default: return std::nullopt;
    }
}

int datatypeOf(PixelType type)
{
    switch (type) {
    case PixelType::UInt8: return NIFTI_TYPE_UINT8;
    case PixelType::Int8: return NIFTI_TYPE_INT8;
    case PixelType::UInt16: return NIFTI_TYPE_UINT16;
    case PixelType::Int16: return NIFTI_TYPE_INT16;
    case PixelType::UInt32: return NIFTI_TYPE_UINT32;
    case PixelType::Int32: return NIFTI_TYPE_INT32;
    case PixelType::Float: return NIFTI_TYPE_FLOAT32;
    case PixelType::Double: return NIFTI_TYPE_FLOAT64;
    }
    return NIFTI_TYPE_UINT8;
}

Mat4 toMat4(const nifti_dmat44& matrix)
{
    Mat4 result;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            result(row, column) = matrix.m[row][column];
    return result;
}

nifti_dmat44 toNifti(const Mat4& matrix)
{
    nifti_dmat44 result;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            result.m[row][column] = matrix(row, column);
    return result;
}

/// The voxel-to-world mapping: sform, else qform, else the voxel sizes alone.
Mat4 affineOf(const nifti_image& image, const fs::path& path)
{
    Mat4 affine = Mat4::Identity();
    if (image.sform_code > 0)
        affine = toMat4(image.sto_xyz);
    else if (image.qform_code > 0)
        affine = toMat4(image.qto_xyz);
    else
        affine.diagonal().head<3>() = Vec3(image.dx, image.dy, image.dz);
    // A 2-D file may leave the third voxel size zero; its single slice needs no extent.
    if (image.nz == 1 && affine.col(2).head<3>().isZero())
        affine(2, 2) = 1.0;
    if (!detail::usableAffine(affine))
        throw FileFormatError(path, "the voxel-to-world mapping of the header is degenerate or not finite");
    return affine;
}

/// Number of voxels of a volume and of the whole file, refusing sizes an image cannot hold.
struct Extent {
    std::array<int, 3> dimensions;
    int volumes;
    std::size_t voxelsPerVolume;
};

Extent extentOf(const nifti_image& image, const fs::path& path)
{
    const std::int64_t ndim = image.dim[0];
    if (ndim < 1 || ndim > 7)
        throw FileFormatError(path, "the header gives " + std::to_string(ndim) + " dimensions");
    for (std::int64_t axis = 1; axis <= ndim; ++axis)
        if (image.dim[axis] < 1)
            throw FileFormatError(path, "the header gives an extent below 1 along axis " + std::to_string(axis));
    for (std::int64_t axis = 5; axis <= ndim; ++axis)
        if (image.dim[axis] > 1)
            throw FileFormatError(path, "images of more than four dimensions are not supported");
    const auto extent = [&](int axis) { return axis <= ndim ? image.dim[axis] : std::int64_t(1); };
    Extent result{};
    std::size_t voxels = 1;
    for (int axis = 1; axis <= 4; ++axis) {
        const std::int64_t value = extent(axis);
        if (value > INT_MAX || __builtin_mul_overflow(voxels, static_cast<std::size_t>(value), &voxels))
            throw FileFormatError(path, "the header's dimensions overflow");
        if (axis <= 3)
            result.dimensions[static_cast<std::size_t>(axis - 1)] = static_cast<int>(value);
    }
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(voxels, static_cast<std::size_t>(8), &bytes) || bytes > (std::size_t(1) << 62))
        throw FileFormatError(path, "the header's dimensions overflow");
    result.volumes = static_cast<int>(extent(4));
    result.voxelsPerVolume = voxels / static_cast<std::size_t>(result.volumes);
    return result;
}

template <typename Source, typename Target>
void narrowInto(const Source* source, std::size_t count, Target* target, const fs::path& path)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (source[i] < static_cast<Source>(std::numeric_limits<Target>::min()) ||
            source[i] > static_cast<Source>(std::numeric_limits<Target>::max()))
            throw FileFormatError(path, "64-bit voxel values outside the 32-bit range are not supported");
        target[i] = static_cast<Target>(source[i]);
    }
}

template <typename Source, typename Target>
void scaleInto(const Source* source, std::size_t count, Target* target, double slope, double intercept)
{
    for (std::size_t i = 0; i < count; ++i)
        target[i] = static_cast<Target>(static_cast<double>(source[i]) * slope + intercept);
}

template <typename Function>
void dispatchSource(int datatype, const void* data, Function&& function)
{
    switch (datatype) {
    case NIFTI_TYPE_UINT8: function(static_cast<const std::uint8_t*>(data)); break;
    case NIFTI_TYPE_INT8: function(static_cast<const std::int8_t*>(data)); break;
    case NIFTI_TYPE_UINT16: function(static_cast<const std::uint16_t*>(data)); break;
    case NIFTI_TYPE_INT16: function(static_cast<const std::int16_t*>(data)); break;
    case NIFTI_TYPE_UINT32: function(static_cast<const std::uint32_t*>(data)); break;
    case NIFTI_TYPE_INT32: function(static_cast<const std::int32_t*>(data)); break;
    case NIFTI_TYPE_FLOAT32: function(static_cast<const float*>(data)); break;
    case NIFTI_TYPE_FLOAT64: function(static_cast<const double*>(data)); break;
    case NIFTI_TYPE_INT64: function(static_cast<const std::int64_t*>(data)); break;
    case NIFTI_TYPE_UINT64: function(static_cast<const std::uint64_t*>(data)); break;
    default: break;
    }
}

/// The pixel type that holds scaled values: single precision for small sources, double otherwise.
PixelType scaledType(int datatype)
{
    switch (datatype) {
    case NIFTI_TYPE_UINT8:
    case NIFTI_TYPE_INT8:
    case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT16:
    case NIFTI_TYPE_FLOAT32: return PixelType::Float;
    default: return PixelType::Double;
    }
}

/// Where a file's header and voxels are: one file (".nii"), or a pair of a header file (".hdr")
/// and an image file (".img"), either of which may be compressed.
struct NiftiFiles {
    fs::path header;
    fs::path voxels;
    bool pair = false;
};

/// The other file of a pair: the same name with the other extension, compressed or not, in the
/// letter case of the given one.
fs::path partnerOf(const fs::path& path, bool givenIsHeader)
{
    const std::string name = path.filename().string();
    const bool compressed = detail::lowerCaseName(path).ends_with(".gz");
    const std::string stem = name.substr(0, name.size() - (compressed ? 7 : 4));
    const bool upper = std::isupper(static_cast<unsigned char>(name[name.size() - (compressed ? 6 : 3)]));
    const std::string extension = givenIsHeader ? (upper ? ".IMG" : ".img") : (upper ? ".HDR" : ".hdr");
    const std::string gz = upper ? ".GZ" : ".gz";
    for (const std::string& candidate : {stem + extension, stem + extension + gz}) {
        const fs::path partner = path.parent_path() / candidate;
        std::error_code error;
        if (fs::exists(partner, error))
            return partner;
    }
    return path.parent_path() / (stem + extension + (compressed ? gz : ""));
}

NiftiFiles niftiFilesOf(const fs::path& path)
{
    const std::string name = detail::lowerCaseName(path);
    if (name.ends_with(".hdr") || name.ends_with(".hdr.gz"))
        return {path, partnerOf(path, true), true};
    if (name.ends_with(".img") || name.ends_with(".img.gz"))
        return {partnerOf(path, false), path, true};
    return {path, path, false};
}

std::string numberText(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

/// The fields of the stored header that the library mends or reads without swapping, checked as
/// stored (in this machine's byte order): the library would read a file without the NIfTI magic
/// as ANALYZE, mend extents below 1, start the voxels of a single file at byte 352 whatever its
/// vox_offset says, and take a voxel size of 0 or NaN as 1 mm.
template <typename Header>
void checkStoredHeader(const Header& header, const NiftiFiles& files, int version)
{
    const fs::path& path = files.header;
    const char* singleMagic = version == 1 ? "n+1" : "n+2";
    const char* pairMagic = version == 1 ? "ni1" : "ni2";
    if (std::memcmp(header.magic, files.pair ? pairMagic : singleMagic, 4) != 0) {
        if (std::memcmp(header.magic, files.pair ? singleMagic : pairMagic, 4) == 0)
            throw FileFormatError(path, files.pair ? "the header is that of a single-file NIfTI image (magic n+" +
                                                         std::to_string(version) + "): name it .nii"
                                                   : "the header is that of a NIfTI pair (magic ni" +
                                                         std::to_string(version) + "): open it as .hdr or .img");
        throw FileFormatError(path, "not a NIfTI-1 or NIfTI-2 image (wrong magic)");
    }
    const auto& dim = header.dim;
    if (dim[0] < 1 || dim[0] > 7)
        throw FileFormatError(path, "the header gives " + std::to_string(dim[0]) + " dimensions");
    for (int axis = 1; axis <= dim[0]; ++axis)
        if (dim[axis] < 1)
            throw FileFormatError(path, "the header gives an extent below 1 along axis " + std::to_string(axis));

    const double offset = header.vox_offset;
    const std::string offsetText = "the header's vox_offset (" + numberText(offset) + ")";
    if (!std::isfinite(offset))
        throw FileFormatError(path, offsetText + " is not a finite number");
    if (offset < 0.0 || offset != std::floor(offset))
        throw FileFormatError(path, offsetText + " is not a whole number of bytes from the start of the file");
    // A single file holds the header and the 4-byte extension flag before any voxel.
    const double headerEnd = static_cast<double>(sizeof(Header) + 4);
    if (!files.pair && offset < headerEnd)
        throw FileFormatError(path, offsetText + " lies inside the header and its extension flag, which end at byte " +
                                        numberText(headerEnd));
    if (!isCompressedPath(files.voxels) && offset > static_cast<double>(detail::fileSize(files.voxels)))
        throw FileFormatError(path, offsetText + " lies past the end of the file");

    if (header.sform_code <= 0 && header.qform_code <= 0) {
        // Without a transform the voxel sizes are the whole geometry. An axis of one voxel (the
        // third of a single slice) needs no size, and a size of 0 there stands for 1.
        static const char* const axes[] = {"", "x", "y", "z"};
        for (int axis = 1; axis <= std::min<int>(3, static_cast<int>(dim[0])); ++axis) {
            const double size = header.pixdim[axis];
            if (std::isfinite(size) && size != 0.0)
                continue;
            if (size == 0.0 && dim[axis] == 1)
                continue;
            throw FileFormatError(path, "pixdim[" + std::to_string(axis) + "], the voxel size along " + axes[axis] +
                                            ", is " + numberText(size) +
                                            ": without an sform or qform it must be a finite number other than 0");
        }
    }
}

/// Reads and checks the stored header, swapping a header of the other byte order first.
void requireNiftiHeader(const NiftiFiles& files)
{
    const fs::path& path = files.header;
    int version = 0;
    std::unique_ptr<void, decltype(&std::free)> header(nifti_read_header(path.c_str(), &version, 0), &std::free);
    if (!header)
        throw FileFormatError(path, "not a readable NIfTI file (bad or truncated header)");
    if (version == 1) {
        auto* nifti1 = static_cast<nifti_1_header*>(header.get());
        if (nifti1->sizeof_hdr != static_cast<int>(sizeof(nifti_1_header)))
            nifti_swap_as_nifti1(nifti1);
        checkStoredHeader(*nifti1, files, 1);
    }
    else if (version == 2) {
        auto* nifti2 = static_cast<nifti_2_header*>(header.get());
        if (nifti2->sizeof_hdr != static_cast<int>(sizeof(nifti_2_header)))
            nifti_swap_as_nifti2(nifti2);
        checkStoredHeader(*nifti2, files, 2);
    }
    else
        throw FileFormatError(path, "not a NIfTI-1 or NIfTI-2 image");
}

struct ZnzCloser {
    void operator()(znzptr* file) const { Xznzclose(&file); }
};

/// Reads the voxel data of a header-only `image` straight into `volumes` (one per volume, of the
/// stored type), swapping the byte order when the file's differs from this machine's.
void readVoxelsInto(const nifti_image& image, std::vector<std::unique_ptr<Image>>& volumes, const fs::path& path)
{
    std::unique_ptr<znzptr, ZnzCloser> file(znzopen(path.c_str(), "rb", isCompressedPath(path) ? 1 : 0));
    if (!file || znz_isnull(file.get()))
        throw FileAccessError(path, std::string("cannot open the file: ") + std::strerror(errno), errno);
    if (znzseek(file.get(), static_cast<znz_off_t>(image.iname_offset), SEEK_SET) < 0)
        throw FileFormatError(path, "the file holds less voxel data than its header announces");
    const bool swapped = image.byteorder != nifti_short_order() && image.swapsize > 1;
    for (auto& volume : volumes) {
        const std::size_t bytes = volume->byteSize();
        if (znzread(volume->data(), 1, bytes, file.get()) != bytes)
            throw FileFormatError(path, "the file holds less voxel data than its header announces");
        if (swapped)
            nifti_swap_Nbytes(static_cast<std::int64_t>(bytes / static_cast<std::size_t>(image.swapsize)),
                              image.swapsize, volume->data());
    }
}

}  // namespace

bool isNiftiPath(const fs::path& path)
{
    const std::string name = detail::lowerCaseName(path);
    for (const char* extension : {".nii", ".nii.gz", ".hdr", ".hdr.gz", ".img", ".img.gz"})
        if (name.ends_with(extension))
            return true;
    return false;
}

std::unique_ptr<SharedImageSet> loadNifti(const fs::path& path, std::optional<Modality> modality)
{
    detail::requireReadableFile(path);
    const NiftiFiles files = niftiFilesOf(path);
    detail::requireReadableFile(files.header);
    detail::requireReadableFile(files.voxels);
    const std::lock_guard lock(g_libraryMutex);
    quietLibrary();
    requireNiftiHeader(files);
    NiftiImagePtr image(nifti_image_read(files.header.c_str(), 0));
    if (!image)
        throw FileFormatError(path, "not a readable NIfTI file (bad or truncated header)");
    const bool expectedType = files.pair ? image->nifti_type == NIFTI_FTYPE_NIFTI1_2 || image->nifti_type == NIFTI_FTYPE_NIFTI2_2
                                         : image->nifti_type == NIFTI_FTYPE_NIFTI1_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_1;
    if (!expectedType)
        throw FileFormatError(path, "not a NIfTI-1 or NIfTI-2 image of the kind its name says");
    // The voxels come from the file checked above, whichever of a pair's names the library chose.
    std::free(image->iname);
    image->iname = strdup(files.voxels.c_str());
    if (!image->iname)
        throw std::bad_alloc();
    const std::optional<VoxelType> voxelType = voxelTypeOf(image->datatype);
    if (!voxelType)
        throw FileFormatError(path, "unsupported voxel type " + std::to_string(image->datatype) + " (" +
                                        nifti_datatype_string(image->datatype) + ")");
    const Extent extent = extentOf(*image, path);
    const auto voxelBytes = static_cast<std::size_t>(image->nbyper);
    const std::size_t dataBytes = extent.voxelsPerVolume * static_cast<std::size_t>(extent.volumes) * voxelBytes;
    if (image->iname_offset < 0)
        throw FileFormatError(path, "the header gives a negative data offset");
    // An uncompressed file must hold what the header announces before anything is allocated, and
    // a compressed file's size bounds its content too.
    const std::uintmax_t storedBytes = static_cast<std::uintmax_t>(image->iname_offset) + dataBytes;
    const std::uintmax_t available = detail::fileSize(files.voxels);
    if (isCompressedPath(files.voxels) ? storedBytes / detail::maximumDeflateRatio > available : storedBytes > available)
        throw FileFormatError(files.voxels, "the file holds less voxel data than its header announces");
    const Mat4 affine = affineOf(*image, path);

    const bool label = image->intent_code == NIFTI_INTENT_LABEL;
    const Modality chosen = modality.value_or(label ? Modality::Label : Modality::NA);
    const double slope = image->scl_slope;
    const double intercept = image->scl_inter;
    const bool scaled = chosen != Modality::Label && std::isfinite(slope) && slope != 0.0 &&
                        std::isfinite(intercept) && (slope != 1.0 || intercept != 0.0);
    const PixelType pixelType = scaled ? scaledType(image->datatype) : voxelType->pixelType;
    const bool storedAsIs = !scaled && !voxelType->narrowed64;

    std::vector<std::unique_ptr<Image>> volumes;
    for (int volume = 0; volume < extent.volumes; ++volume) {
        auto converted = Image::forOverwrite(pixelType, extent.dimensions);
        converted->setVoxelToWorld(affine);
        volumes.push_back(std::move(converted));
    }
    if (storedAsIs) {
        // Stored values need no conversion: the (decompressed) stream goes once into the images.
        readVoxelsInto(*image, volumes, files.voxels);
    }
    else {
        if (nifti_image_load(image.get()) != 0 || !image->data)
            throw FileFormatError(files.voxels, "the file holds less voxel data than its header announces");
        const auto* bytes = static_cast<const unsigned char*>(image->data);
        for (int volume = 0; volume < extent.volumes; ++volume) {
            Image& converted = *volumes[static_cast<std::size_t>(volume)];
            const void* source = bytes + static_cast<std::size_t>(volume) * extent.voxelsPerVolume * voxelBytes;
            const std::size_t count = extent.voxelsPerVolume;
            if (scaled) {
                dispatchSource(image->datatype, source, [&](const auto* values) {
                    if (pixelType == PixelType::Float)
                        scaleInto(values, count, reinterpret_cast<float*>(converted.data()), slope, intercept);
                    else
                        scaleInto(values, count, reinterpret_cast<double*>(converted.data()), slope, intercept);
                });
            }
            else if (image->datatype == NIFTI_TYPE_INT64)
                narrowInto(static_cast<const std::int64_t*>(source), count,
                           reinterpret_cast<std::int32_t*>(converted.data()), path);
            else
                narrowInto(static_cast<const std::uint64_t*>(source), count,
                           reinterpret_cast<std::uint32_t*>(converted.data()), path);
        }
    }

    auto set = std::make_unique<SharedImageSet>();
    for (auto& volume : volumes)
        set->add(std::move(volume));
    set->setModality(chosen);
    set->setSelectedIndex(0);
    return set;
}

namespace {

bool columnsOrthogonal(const Mat4& affine)
{
    const auto columns = affine.topLeftCorner<3, 3>();
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b)
            if (std::abs(columns.col(a).dot(columns.col(b))) > 1e-9 * columns.col(a).norm() * columns.col(b).norm())
                return false;
    return true;
}

/// The bytes of a file, collected plain or through a gzip stream.
class FileBytes {
public:
    FileBytes(bool compressed, const fs::path& path) : m_compressed(compressed), m_path(path)
    {
        if (m_compressed && deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                                         Z_DEFAULT_STRATEGY) != Z_OK)
            throw FileAccessError(path, "cannot start compressing", ENOMEM);
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes()
    {
        if (m_compressed)
            deflateEnd(&m_stream);
    }

    void append(const void* data, std::size_t size)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        if (!m_compressed) {
            m_bytes.insert(m_bytes.end(), bytes, bytes + size);
            return;
        }
        // zlib counts in 32 bits: large images go in pieces.
        while (size > 0) {
            const std::size_t piece = std::min<std::size_t>(size, std::size_t(1) << 30);
            m_stream.next_in = const_cast<unsigned char*>(bytes);
            m_stream.avail_in = static_cast<uInt>(piece);
            deflateAll(Z_NO_FLUSH);
            bytes += piece;
            size -= piece;
        }
    }

    std::vector<unsigned char> finish()
    {
        if (m_compressed)
            deflateAll(Z_FINISH);
        return std::move(m_bytes);
    }

private:
    void deflateAll(int flush)
    {
        for (;;) {
            const std::size_t used = m_bytes.size();
            m_bytes.resize(used + (std::size_t(1) << 16));
            m_stream.next_out = m_bytes.data() + used;
            m_stream.avail_out = 1u << 16;
            const int result = deflate(&m_stream, flush);
            m_bytes.resize(m_bytes.size() - m_stream.avail_out);
            if (result == Z_STREAM_ERROR)
                throw FileAccessError(m_path, "cannot compress the image", EIO);
            if (flush == Z_FINISH ? result == Z_STREAM_END : m_stream.avail_in == 0 && m_stream.avail_out != 0)
                return;
        }
    }

    bool m_compressed;
    const fs::path& m_path;
    z_stream m_stream{};
    std::vector<unsigned char> m_bytes;
};

}  // namespace

void saveNifti(const SharedImageSet& images, const fs::path& path, NiftiVersion version)
{
    requireReplaceableTarget(path);
    const Image* first = images.get(0);
    if (!first)
        throw UnsupportedDataError(path, "an empty image set cannot be written as NIfTI");
    if (first->channels() != 1)
        throw UnsupportedDataError(path, "images of several channels cannot be written as NIfTI");
    const Mat4 affine = images.voxelToWorld(0);
    for (int index = 1; index < images.size(); ++index)
        if (images.voxelToWorld(index) != affine)
            throw UnsupportedDataError(path, "the images of a set of different geometry cannot share one NIfTI file");
    if (!detail::usableAffine(affine))
        throw UnsupportedDataError(path, "the voxel-to-world mapping is degenerate or not finite");

    const auto& dimensions = first->dimensions();
    // NIfTI-1 holds extents up to 32767.
    const bool fitsNifti1 =
        std::none_of(dimensions.begin(), dimensions.end(), [](int extent) { return extent > 32767; }) &&
        images.size() <= 32767;
    if (version == NiftiVersion::One && !fitsNifti1)
        throw UnsupportedDataError(path, "NIfTI-1 holds at most 32767 voxels or volumes along an axis");
    const bool nifti2 = version == NiftiVersion::Two || (version == NiftiVersion::Smallest && !fitsNifti1);
    const bool orthogonal = columnsOrthogonal(affine);
    const bool compressed = isCompressedPath(path);

    const std::int64_t dims[8] = {images.size() > 1 ? 4 : 3, dimensions[0], dimensions[1], dimensions[2],
                                  images.size(), 1, 1, 1};
    FileBytes bytes(compressed, path);
    {
        const std::lock_guard lock(g_libraryMutex);
        quietLibrary();
        NiftiImagePtr image(nifti_make_new_nim(dims, datatypeOf(first->pixelType()), 0));
        if (!image)
            throw FileAccessError(path, "the NIfTI library could not prepare the header");
        image->nifti_type = nifti2 ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1;
        image->sform_code = NIFTI_XFORM_ALIGNED_ANAT;
        image->sto_xyz = toNifti(affine);
        image->sto_ijk = nifti_dmat44_inverse(image->sto_xyz);
        // The qform holds rotations, scaling and a flip only; sheared grids leave it unset.
        double qfac = 1.0;
        nifti_dmat44_to_quatern(image->sto_xyz, &image->quatern_b, &image->quatern_c, &image->quatern_d,
                                &image->qoffset_x, &image->qoffset_y, &image->qoffset_z, &image->dx, &image->dy,
                                &image->dz, &qfac);
        image->qfac = qfac;
        image->qform_code = orthogonal ? NIFTI_XFORM_ALIGNED_ANAT : NIFTI_XFORM_UNKNOWN;
        image->qto_xyz = nifti_quatern_to_dmat44(image->quatern_b, image->quatern_c, image->quatern_d,
                                                 image->qoffset_x, image->qoffset_y, image->qoffset_z, image->dx,
                                                 image->dy, image->dz, image->qfac);
        image->qto_ijk = nifti_dmat44_inverse(image->qto_xyz);
        image->pixdim[0] = qfac;
        image->pixdim[1] = image->dx;
        image->pixdim[2] = image->dy;
        image->pixdim[3] = image->dz;
        image->xyz_units = NIFTI_UNITS_MM;
        image->scl_slope = 1.0;
        image->scl_inter = 0.0;
        image->intent_code = images.modality() == Modality::Label ? NIFTI_INTENT_LABEL : NIFTI_INTENT_NONE;
        // A single file: the header, an extension flag saying there are none, then the voxels. The
        // library's own writer would pick the version from the extents alone, so the header it
        // converts is laid out here.
        const unsigned char noExtensions[4] = {0, 0, 0, 0};
        if (nifti2) {
            nifti_2_header header{};
            if (nifti_convert_nim2n2hdr(image.get(), &header) != 0)
                throw FileAccessError(path, "the NIfTI library could not prepare the header");
            header.vox_offset = static_cast<double>(sizeof(header) + 4);
            std::memcpy(header.magic, "n+2\0\r\n\032\n", sizeof(header.magic));
            bytes.append(&header, sizeof(header));
        }
        else {
            nifti_1_header header{};
            if (nifti_convert_nim2n1hdr(image.get(), &header) != 0)
                throw FileAccessError(path, "the NIfTI library could not prepare the header");
            header.vox_offset = static_cast<float>(sizeof(header) + 4);
            std::memcpy(header.magic, "n+1", 4);
            bytes.append(&header, sizeof(header));
        }
        bytes.append(noExtensions, sizeof(noExtensions));
    }
    for (int index = 0; index < images.size(); ++index)
        bytes.append(images.get(index)->data(), first->byteSize());
    // Written by our own checked writes: a full or failing disk is reported, never half-written.
    writeFileAtomically(path, bytes.finish());
}

}  // namespace corvaxis::io
