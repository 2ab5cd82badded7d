#pragma once

#include "corvaxis/core/Data.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvaxis {

enum class PixelType : int { UInt8, Int8, UInt16, Int16, UInt32, Int32, Float, Double };

std::size_t pixelSize(PixelType type);
const char* pixelTypeName(PixelType type);

enum class Modality : int {
    NA = 0, XRay = 1, CT = 2, MRI = 3, Ultrasound = 4, Video = 5, NM = 6, OCT = 7, Label = 8, Distance = 9
};

/// One image: a dense pixel array (x fastest, then y, then z; channels interleaved) with its
/// spacing and its image-to-world matrix.
class Image {
public:
    /// Pixels start at zero.
    Image(PixelType type, std::array<int, 3> dimensions, int channels = 1);

    /// An image whose pixels are left as the allocator gives them, for readers and converters that
    /// write every pixel at once: skipping the zero fill halves the memory traffic of building a
    /// large image.
    static std::unique_ptr<Image> forOverwrite(PixelType type, std::array<int, 3> dimensions, int channels = 1);

    PixelType pixelType() const { return m_type; }
    /// Width, height, depth (depth 1 for a 2-D image).
    const std::array<int, 3>& dimensions() const { return m_dimensions; }
    int channels() const { return m_channels; }
    std::size_t numPixels() const;
    std::size_t byteSize() const { return m_bytes.size(); }

    std::byte* data() { return m_bytes.data(); }
    const std::byte* data() const { return m_bytes.data(); }

    Vec3 spacing = Vec3::Ones();
    /// Image-to-world matrix, applied after the spacing: see voxelToWorld.
    Mat4 matrix = Mat4::Identity();

    /// For a label image: the names and RGBA colours (components in [0, 1]) that the file it came
    /// from gives its label values; empty when it names none. Each image has its own, since the
    /// layers of a segmentation number their labels independently.
    std::map<int, std::string> labelNames;
    std::map<int, Vec4> labelColors;

    /// Maps the voxel index (x, y, z, 1) to world coordinates: matrix * diag(spacing, 1).
    Mat4 voxelToWorld() const;
    /// Sets spacing (the lengths of the first three columns) and matrix (the rest) from a
    /// voxel-to-world mapping. voxelToWorld() then returns the mapping exactly, as long as spacing
    /// and matrix keep these values: their product alone may differ from it in the last bits.
    void setVoxelToWorld(const Mat4& voxelToWorld);

    bool operator==(const Image& other) const;

private:
    PixelType m_type;
    std::array<int, 3> m_dimensions;
    int m_channels;
    struct Uninitialised {};
    Image(PixelType type, std::array<int, 3> dimensions, int channels, Uninitialised);

    /// Hands out storage whose bytes are not value-initialised, and asks the kernel for huge pages
    /// when a buffer is large: first-touch page faults otherwise dominate copying a large volume.
    template <typename T>
    struct PixelAllocator {
        using value_type = T;
        PixelAllocator() = default;
        template <typename U>
        PixelAllocator(const PixelAllocator<U>&) noexcept {}
        T* allocate(std::size_t count);
        void deallocate(T* pointer, std::size_t count) noexcept;
        template <typename U>
        void construct(U* pointer) noexcept { ::new (static_cast<void*>(pointer)) U; }
        template <typename U, typename... Args>
        void construct(U* pointer, Args&&... args) { ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...); }
        bool operator==(const PixelAllocator&) const = default;
    };

    std::vector<std::byte, PixelAllocator<std::byte>> m_bytes;
    struct GivenMapping {
        Vec3 spacing;
        Mat4 matrix;
        Mat4 voxelToWorld;
    };
    std::optional<GivenMapping> m_givenMapping;
};

/// A list of images of the same kind (time steps, or a stack), with a modality and a current one.
class SharedImageSet : public Data {
public:
    SharedImageSet() = default;

    int kind() const override { return ImageSetKind; }
    std::string kindName() const override { return "SharedImageSet"; }
    std::unique_ptr<Data> cloneData() const override { return clone(); }

    /// A deep copy; nothing when the set cannot be copied (it holds no image to copy).
    std::unique_ptr<SharedImageSet> clone() const;

    int size() const { return static_cast<int>(m_images.size()); }
    /// The image at index, or the current one for -1; null when out of range.
    const Image* get(int index = -1) const;
    Image* get(int index = -1);
    void add(std::unique_ptr<Image> image);

    int selectedIndex() const { return m_selected; }
    void setSelectedIndex(int index);

    /// The voxel-to-world mapping of an image (current one for -1) within the set's own frame:
    /// matrix() * image.matrix * diag(image.spacing, 1). Identity for an index out of range.
    Mat4 voxelToWorld(int index = -1) const;
    /// Gives every image the mapping: the spacing becomes the lengths of the first three columns
    /// of inverse(matrix()) * voxelToWorld, the image matrix the rest. Throws std::invalid_argument
    /// for a mapping that is not finite, not affine or singular.
    void setVoxelToWorld(const Mat4& voxelToWorld);
    /// Gives every image the image matrix (applied after the spacing). Throws
    /// std::invalid_argument for a matrix that is not finite, not affine or singular.
    void setImageMatrix(const Mat4& imageMatrix);

    Modality modality() const { return m_modality; }
    void setModality(Modality modality);

    /// Replaces the label names (or colours) of an image (the current one for -1). Throws
    /// std::out_of_range for an index out of range and std::invalid_argument for a colour whose
    /// components are not all in [0, 1].
    void setLabelNames(std::map<int, std::string> names, int index = -1);
    void setLabelColors(std::map<int, Vec4> colors, int index = -1);

private:
    SharedImageSet(const SharedImageSet& other);

    std::vector<std::unique_ptr<Image>> m_images;
    Modality m_modality = Modality::NA;
    int m_selected = 0;
};

}  // namespace corvaxis
