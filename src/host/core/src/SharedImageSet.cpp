#include "corvaxis/core/SharedImageSet.h"

#include "HugePages.h"

#include <Eigen/LU>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <iterator>
#include <stdexcept>

namespace corvaxis {

std::size_t pixelSize(PixelType type)
{
    switch (type) {
    case PixelType::UInt8:
    case PixelType::Int8: return 1;
    case PixelType::UInt16:
    case PixelType::Int16: return 2;
    case PixelType::UInt32:
    case PixelType::Int32:
    case PixelType::Float: return 4;
    case PixelType::Double: return 8;
    }
    throw std::invalid_argument("unknown pixel type");
}

const char* pixelTypeName(PixelType type)
{
    static const char* const names[] = {"uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "float64"};
    // A value cast from a plain integer may lie outside the enumeration.
    const auto index = static_cast<std::size_t>(type);
    return index < std::size(names) ? names[index] : "unknown";
}

namespace {

// Pixel buffers from this size on are on transparent huge pages.
constexpr std::size_t hugePageThreshold = 4 * hugePageSize;

}  // namespace

template <typename T>
T* Image::PixelAllocator<T>::allocate(std::size_t count)
{
    return static_cast<T*>(allocateLarge(count * sizeof(T), hugePageThreshold));
}

template <typename T>
void Image::PixelAllocator<T>::deallocate(T* pointer, std::size_t count) noexcept
{
    freeLarge(pointer, count * sizeof(T), hugePageThreshold);
}

template struct Image::PixelAllocator<std::byte>;

Image::Image(PixelType type, std::array<int, 3> dimensions, int channels)
    : Image(type, dimensions, channels, Uninitialised{})
{
    std::fill(m_bytes.begin(), m_bytes.end(), std::byte{0});
}

std::unique_ptr<Image> Image::forOverwrite(PixelType type, std::array<int, 3> dimensions, int channels)
{
    return std::unique_ptr<Image>(new Image(type, dimensions, channels, Uninitialised{}));
}

Image::Image(PixelType type, std::array<int, 3> dimensions, int channels, Uninitialised)
    : m_type(type), m_dimensions(dimensions), m_channels(channels)
{
    for (int extent : dimensions)
        if (extent < 1)
            throw std::invalid_argument("image dimensions must be at least 1");
    if (channels < 1)
        throw std::invalid_argument("an image needs at least one channel");
    m_bytes.resize(numPixels() * static_cast<std::size_t>(channels) * pixelSize(type));
}

std::size_t Image::numPixels() const
{
    return static_cast<std::size_t>(m_dimensions[0]) * static_cast<std::size_t>(m_dimensions[1]) *
           static_cast<std::size_t>(m_dimensions[2]);
}

Mat4 Image::voxelToWorld() const
{
    if (m_givenMapping && m_givenMapping->spacing == spacing && m_givenMapping->matrix == matrix)
        return m_givenMapping->voxelToWorld;
    Mat4 scaled = matrix;
    scaled.leftCols<3>() = matrix.leftCols<3>() * spacing.asDiagonal();
    return scaled;
}

void Image::setVoxelToWorld(const Mat4& voxelToWorld)
{
    spacing = voxelToWorld.topLeftCorner<3, 3>().colwise().norm().transpose();
    matrix = voxelToWorld;
    matrix.leftCols<3>() = voxelToWorld.leftCols<3>() * spacing.cwiseInverse().asDiagonal();
    m_givenMapping = GivenMapping{spacing, matrix, voxelToWorld};
}

bool Image::operator==(const Image& other) const
{
    return m_type == other.m_type && m_dimensions == other.m_dimensions && m_channels == other.m_channels &&
           spacing == other.spacing && matrix == other.matrix && labelNames == other.labelNames &&
           labelColors == other.labelColors && m_bytes == other.m_bytes;
}

SharedImageSet::SharedImageSet(const SharedImageSet& other)
    : Data(other), m_modality(other.m_modality), m_selected(other.m_selected)
{
    m_images.reserve(other.m_images.size());
    for (const auto& image : other.m_images)
        m_images.push_back(std::make_unique<Image>(*image));
}

std::unique_ptr<SharedImageSet> SharedImageSet::clone() const
{
    if (m_images.empty())
        return nullptr;
    return std::unique_ptr<SharedImageSet>(new SharedImageSet(*this));
}

const Image* SharedImageSet::get(int index) const
{
    if (index == -1)
        index = m_selected;
    if (index < 0 || index >= size())
        return nullptr;
    return m_images[static_cast<std::size_t>(index)].get();
}

Image* SharedImageSet::get(int index) { return const_cast<Image*>(std::as_const(*this).get(index)); }

void SharedImageSet::add(std::unique_ptr<Image> image)
{
    if (!image)
        throw std::invalid_argument("cannot add a null image");
    m_images.push_back(std::move(image));
    notifyChanged();
}

void SharedImageSet::setSelectedIndex(int index)
{
    if (index < 0 || index >= size())
        throw std::out_of_range("image index out of range");
    m_selected = index;
    notifyChanged();
}

Mat4 SharedImageSet::voxelToWorld(int index) const
{
    const Image* image = get(index);
    return image ? Mat4(matrix() * image->voxelToWorld()) : Mat4(Mat4::Identity());
}

namespace {

void requireAffine(const Mat4& matrix, const char* what)
{
    if (!matrix.allFinite() || matrix.row(3) != Eigen::RowVector4d(0.0, 0.0, 0.0, 1.0))
        throw std::invalid_argument(std::string("a ") + what + " must be finite with a last row of (0, 0, 0, 1)");
}

}  // namespace

void SharedImageSet::setVoxelToWorld(const Mat4& voxelToWorld)
{
    requireAffine(voxelToWorld, "voxel-to-world matrix");
    const Mat4 withinSet = matrix().inverse() * voxelToWorld;
    if (!withinSet.allFinite() || withinSet.topLeftCorner<3, 3>().determinant() == 0.0)
        throw std::invalid_argument("a voxel-to-world matrix must not be singular");
    for (const auto& image : m_images)
        image->setVoxelToWorld(withinSet);
    notifyChanged();
}

void SharedImageSet::setImageMatrix(const Mat4& imageMatrix)
{
    requireAffine(imageMatrix, "image matrix");
    if (imageMatrix.topLeftCorner<3, 3>().determinant() == 0.0)
        throw std::invalid_argument("an image matrix must not be singular");
    for (const auto& image : m_images)
        image->matrix = imageMatrix;
    notifyChanged();
}

void SharedImageSet::setModality(Modality modality)
{
    m_modality = modality;
    notifyChanged();
}

void SharedImageSet::setLabelNames(std::map<int, std::string> names, int index)
{
    Image* image = get(index);
    if (!image)
        throw std::out_of_range("image index out of range");
    image->labelNames = std::move(names);
    notifyChanged();
}

void SharedImageSet::setLabelColors(std::map<int, Vec4> colors, int index)
{
    Image* image = get(index);
    if (!image)
        throw std::out_of_range("image index out of range");
    for (const auto& [label, color] : colors)
        if (!(color.array() >= 0.0).all() || !(color.array() <= 1.0).all())
            throw std::invalid_argument("the colour of label " + std::to_string(label) +
                                        " has components outside [0, 1]");
    image->labelColors = std::move(colors);
    notifyChanged();
}

}  // namespace corvaxis
