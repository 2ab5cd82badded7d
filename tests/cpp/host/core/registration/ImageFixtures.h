#pragma once

#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/registration/ImageRegistration.h"

#include <Eigen/Geometry>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

namespace corvaxis::registration::testing {

/// Smooth blobs of different sizes and heights spread asymmetrically around the origin (mm).
inline double blobs(const Vec3& p)
{
    static const struct {
        Vec3 centre;
        double width, height;
    } parts[] = {
        {{-14, -8, 4}, 9.0, 1.0},  {{16, 6, -6}, 7.0, 0.7}, {{2, 18, 10}, 6.0, 0.45},
        {{-6, 10, -16}, 8.0, 0.85}, {{10, -16, 14}, 5.0, 0.6}, {{-20, 14, 18}, 4.0, 0.35},
    };
    double value = 0.0;
    for (const auto& [centre, width, height] : parts)
        value += height * std::exp(-(p - centre).squaredNorm() / (2.0 * width * width));
    return value;
}

/// A float image of `size`^3 pixels with the given spacing, centred on the world origin, whose
/// pixel at world position p holds intensity(p).
inline std::unique_ptr<Image> sampledImage(int size, double spacing, const std::function<double(const Vec3&)>& intensity)
{
    auto image = std::make_unique<Image>(PixelType::Float, std::array<int, 3>{size, size, size});
    image->spacing = Vec3::Constant(spacing);
    const Mat4 pixelToWorld = centredPixelToWorld(*image);
    float* pixels = reinterpret_cast<float*>(image->data());
    for (int z = 0; z < size; ++z)
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const Vec3 world = (pixelToWorld * Vec4(x, y, z, 1.0)).head<3>();
                *pixels++ = static_cast<float>(intensity(world));
            }
    return image;
}

/// The blobs moved by `motion` (the registration must find its inverse), with their intensities
/// passed through `remap`.
inline std::unique_ptr<Image> movedBlobs(int size, double spacing, const Mat4& motion,
                                         const std::function<double(double)>& remap = [](double v) { return v; })
{
    const Mat4 back = motion.inverse();
    return sampledImage(size, spacing, [&](const Vec3& p) {
        return remap(blobs((back * p.homogeneous()).head<3>()));
    });
}

inline double rotationErrorDegrees(const Mat4& found, const Mat4& expected)
{
    const Eigen::Matrix3d r = found.topLeftCorner<3, 3>() * expected.topLeftCorner<3, 3>().transpose();
    return Eigen::AngleAxisd(r).angle() * 180.0 / 3.14159265358979323846;
}

}  // namespace corvaxis::registration::testing
