#include "RigidImageMetric.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

// Images as volumes of float intensities: conversion, trilinear reading, centre of mass.

namespace corvaxis::registration {

namespace {

template <class T>
void copyChannel(const Image& image, std::vector<float>& out)
{
    const std::size_t count = image.numPixels(), stride = static_cast<std::size_t>(image.channels());
    out.resize(count);
    const std::byte* bytes = image.data();
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, bytes + i * stride * sizeof(T), sizeof(T));
        out[i] = static_cast<float>(value);
    }
}

}  // namespace

bool Volume::interpolate(const Vec3& pixel, double& value, Vec3& gradient) const
{
    for (int a = 0; a < 3; ++a)
        if (!(pixel[a] >= 0.0 && pixel[a] <= dimensions[static_cast<std::size_t>(a)] - 1))
            return false;
    int base[3];
    double f[3];
    for (int a = 0; a < 3; ++a) {
        base[a] = std::min(static_cast<int>(pixel[a]), std::max(dimensions[static_cast<std::size_t>(a)] - 2, 0));
        f[a] = pixel[a] - base[a];
    }
    const int x1 = std::min(base[0] + 1, dimensions[0] - 1), y1 = std::min(base[1] + 1, dimensions[1] - 1),
              z1 = std::min(base[2] + 1, dimensions[2] - 1);
    const double c000 = at(base[0], base[1], base[2]), c100 = at(x1, base[1], base[2]), c010 = at(base[0], y1, base[2]),
                 c110 = at(x1, y1, base[2]), c001 = at(base[0], base[1], z1), c101 = at(x1, base[1], z1),
                 c011 = at(base[0], y1, z1), c111 = at(x1, y1, z1);
    const double c00 = c000 + f[0] * (c100 - c000), c10 = c010 + f[0] * (c110 - c010), c01 = c001 + f[0] * (c101 - c001),
                 c11 = c011 + f[0] * (c111 - c011);
    const double c0 = c00 + f[1] * (c10 - c00), c1 = c01 + f[1] * (c11 - c01);
    value = c0 + f[2] * (c1 - c0);
    const double dx0 = (c100 - c000) + f[1] * ((c110 - c010) - (c100 - c000)),
                 dx1 = (c101 - c001) + f[1] * ((c111 - c011) - (c101 - c001));
    gradient[0] = dx0 + f[2] * (dx1 - dx0);
    gradient[1] = (c10 - c00) + f[2] * ((c11 - c01) - (c10 - c00));
    gradient[2] = c1 - c0;
    return true;
}

double Volume::voxelSize() const { return pixelToWorld.topLeftCorner<3, 3>().colwise().norm().minCoeff(); }

Volume volumeFrom(const Image& image, const Mat4& pixelToWorld)
{
    if (image.numPixels() == 0)
        throw std::invalid_argument("The image has no pixels");
    Volume volume;
    volume.dimensions = image.dimensions();
    volume.pixelToWorld = pixelToWorld;
    switch (image.pixelType()) {
    case PixelType::UInt8: copyChannel<std::uint8_t>(image, volume.values); break;
    case PixelType::Int8: copyChannel<std::int8_t>(image, volume.values); break;
    case PixelType::UInt16: copyChannel<std::uint16_t>(image, volume.values); break;
    case PixelType::Int16: copyChannel<std::int16_t>(image, volume.values); break;
    case PixelType::UInt32: copyChannel<std::uint32_t>(image, volume.values); break;
    case PixelType::Int32: copyChannel<std::int32_t>(image, volume.values); break;
    case PixelType::Float: copyChannel<float>(image, volume.values); break;
    case PixelType::Double: copyChannel<double>(image, volume.values); break;
    }
    // Non-finite intensities (NaN, infinities) count as the lowest finite one: left as they are, the
    // pyramid and the spline prefilter would spread them over whole lines, and one infinity would
    // squeeze every other intensity into a single histogram bin.
    float lowest = std::numeric_limits<float>::infinity();
    for (const float v : volume.values)
        if (std::isfinite(v))
            lowest = std::min(lowest, v);
    for (float& v : volume.values)
        if (!std::isfinite(v))
            v = std::isfinite(lowest) ? lowest : 0.0f;
    return volume;
}

bool hasContent(const Volume& volume)
{
    // Non-finite intensities were replaced by the lowest finite one already.
    const auto [lowest, highest] = std::ranges::minmax(volume.values);
    return highest > lowest;
}

Vec3 centreOfMass(const Volume& volume)
{
    const float minimum = *std::min_element(volume.values.begin(), volume.values.end());
    Vec3 sum = Vec3::Zero();
    double total = 0.0;
    std::size_t i = 0;
    for (int z = 0; z < volume.dimensions[2]; ++z)
        for (int y = 0; y < volume.dimensions[1]; ++y)
            for (int x = 0; x < volume.dimensions[0]; ++x) {
                const double weight = volume.values[i++] - minimum;
                sum += weight * Vec3(x, y, z);
                total += weight;
            }
    const Vec3 pixel = total > 0.0 ? Vec3(sum / total)
                                   : Vec3(0.5 * (volume.dimensions[0] - 1), 0.5 * (volume.dimensions[1] - 1),
                                          0.5 * (volume.dimensions[2] - 1));
    return volume.pixelToWorld.topLeftCorner<3, 3>() * pixel + volume.pixelToWorld.topRightCorner<3, 1>();
}

}  // namespace corvaxis::registration
