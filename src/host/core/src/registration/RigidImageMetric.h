#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/registration/ImageRegistration.h"

#include <Eigen/Core>

#include <array>
#include <vector>

namespace corvaxis::registration {

/// Fixed number of work chunks, so that sums are formed in the same order on any machine.
inline constexpr int metricChunks = 16;
/// Empty histogram bins beside each intensity range, so that every cubic Parzen window stays inside.
inline constexpr int binPadding = 2;

/// One channel of an image as floats, with its pixel-to-world matrix.
struct Volume {
    std::array<int, 3> dimensions{0, 0, 0};
    std::vector<float> values;
    Mat4 pixelToWorld = Mat4::Identity();

    float at(int x, int y, int z) const
    {
        return values[(static_cast<std::size_t>(z) * static_cast<std::size_t>(dimensions[1]) + static_cast<std::size_t>(y)) *
                          static_cast<std::size_t>(dimensions[0]) +
                      static_cast<std::size_t>(x)];
    }
    /// Trilinear value and its gradient in pixel units at a continuous pixel position; false
    /// outside the grid.
    bool interpolate(const Vec3& pixel, double& value, Vec3& gradient) const;
    /// The same for a volume of cubic B-spline coefficients (see splineCoefficients): the smooth
    /// spline through the original intensities, mirrored at the borders.
    bool interpolateSpline(const Vec3& pixel, double& value, Vec3& gradient) const;
    /// Smallest distance between neighbouring pixel centres, in world units.
    double voxelSize() const;
};

/// The first channel of an image, non-finite intensities replaced by the lowest finite one; throws
/// std::invalid_argument for an image without pixels.
Volume volumeFrom(const Image& image, const Mat4& pixelToWorld);
/// Whether the volume shows anything to register: intensities that differ somewhere (an image that
/// is constant, or held no finite intensity, has none).
bool hasContent(const Volume& volume);
/// Smoothed with a binomial kernel and subsampled by two along each axis.
Volume halved(const Volume& volume);
/// The cubic B-spline coefficients whose spline passes through the volume's intensities (whole-sample
/// mirror boundaries), to be read with interpolateSpline; `threads` as for the metric.
Volume splineCoefficients(const Volume& volume, int threads = 0);
/// Intensity-weighted centre in world coordinates (intensities counted above the volume's minimum).
Vec3 centreOfMass(const Volume& volume);

/// Maps fixed world positions to moving ones: R (x - centre) + centre + translation.
struct RigidPose {
    Eigen::Matrix3d rotation = Eigen::Matrix3d::Identity();
    Vec3 translation = Vec3::Zero();
    Vec3 centre = Vec3::Zero();

    /// The pose after a small rotation (rotation vector, applied after the current one) and a shift.
    RigidPose moved(const Vec3& rotationVector, const Vec3& shift) const;
    /// The transformation from moving world positions to fixed ones (the inverse map).
    Mat4 movingToFixed() const;
};

using PoseGradient = Eigen::Matrix<double, 6, 1>;

/// A similarity metric between a fixed and a moving volume over a fixed set of fixed-volume
/// samples, as a cost (lower is better) with its analytic gradient with respect to a small
/// rotation vector (first three) and a shift (last three) of the pose.
class RigidImageMetric {
public:
    enum class Interpolation { Trilinear, CubicBSpline };

    RigidImageMetric(const Volume& fixed, const Volume& moving, ImageMetric metric, int bins, int samples, int threads,
                     Interpolation interpolation = Interpolation::Trilinear);

    /// The cost, or infinity when too few samples fall inside the moving volume.
    double evaluate(const RigidPose& pose, PoseGradient* gradient) const;
    /// Root mean square distance of the samples from `centre`, which turns rotations into arcs.
    double radiusAbout(const Vec3& centre) const;

private:
    /// The moving intensities at the samples' mapped positions; `count` of them fall inside.
    struct MovingSamples {
        std::vector<double> values;
        std::vector<char> inside;
        double count = 0.0;
    };

    // Each metric gives its cost and, into weight, the cost's derivative with respect to each
    // sample's moving intensity; infinity when it has no value.
    double meanSquares(const MovingSamples& samples, std::vector<double>& weight) const;
    double normalizedCorrelation(const MovingSamples& samples, std::vector<double>& weight) const;
    /// Without weights only the cost.
    double mutualInformation(const MovingSamples& samples, std::vector<double>* weight) const;
    /// The fixed samples' histogram windows and the moving intensity bins.
    void prepareMutualInformation(const Volume& fixed, const Volume& moving);

    const Volume& m_moving;
    Volume m_splineCoefficients;  // of the moving volume, for cubic B-spline interpolation only
    Interpolation m_interpolation;
    ImageMetric m_metric;
    int m_bins;
    int m_threads;
    Points m_positions;
    std::vector<double> m_fixedValues;
    // Each sample's fixed-intensity window, fixed for the metric's life: its first bin and the
    // weights of that bin and the next three.
    std::vector<int> m_fixedFirstBins;
    std::vector<std::array<double, 4>> m_fixedWindows;
    double m_movingMinimum = 0.0;
    double m_movingBinWidth = 1.0;
    Eigen::Matrix3d m_worldToPixelLinear;
    Vec3 m_worldToPixelOffset;
};

}  // namespace corvaxis::registration
