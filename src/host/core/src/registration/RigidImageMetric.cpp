#include "Parallel.h"
#include "RigidImageMetric.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <algorithm>
#include <cmath>
#include <limits>

// The metric's frame: the lattice of fixed-image samples, the moving intensities and gradients
// at their mapped positions, and the pose gradient from each sample's share of the cost. What the
// cost is comes from one file per metric.

namespace corvaxis::registration {

RigidImageMetric::RigidImageMetric(const Volume& fixed, const Volume& moving, ImageMetric metric, int bins, int samples,
                                   int threads, Interpolation interpolation)
    : m_moving(moving), m_interpolation(interpolation), m_metric(metric), m_bins(bins), m_threads(threads)
{
    if (interpolation == Interpolation::CubicBSpline)
        m_splineCoefficients = splineCoefficients(moving, threads);
    // Every stride-th voxel along each axis, the largest stride that keeps at least `samples`: a
    // regular lattice estimates the metric's sums over the image far better than as many random voxels.
    const auto& d = fixed.dimensions;
    const double perSample = samples > 0 ? static_cast<double>(fixed.values.size()) / samples : 1.0;
    const int stride = std::max(1, static_cast<int>(std::cbrt(perSample)));
    std::vector<std::size_t> chosen;
    for (int z = stride / 2; z < d[2]; z += stride)
        for (int y = stride / 2; y < d[1]; y += stride)
            for (int x = stride / 2; x < d[0]; x += stride)
                chosen.push_back((static_cast<std::size_t>(z) * static_cast<std::size_t>(d[1]) + static_cast<std::size_t>(y)) *
                                     static_cast<std::size_t>(d[0]) +
                                 static_cast<std::size_t>(x));
    m_positions.resize(static_cast<Eigen::Index>(chosen.size()), 3);
    m_fixedValues.resize(chosen.size());
    for (std::size_t s = 0; s < chosen.size(); ++s) {
        const std::size_t i = chosen[s];
        const Vec3 pixel(static_cast<double>(i % d[0]), static_cast<double>((i / d[0]) % d[1]),
                         static_cast<double>(i / (static_cast<std::size_t>(d[0]) * d[1])));
        m_positions.row(static_cast<Eigen::Index>(s)) =
            (fixed.pixelToWorld.topLeftCorner<3, 3>() * pixel + fixed.pixelToWorld.topRightCorner<3, 1>()).transpose();
        m_fixedValues[s] = fixed.values[i];
    }
    const Mat4 worldToPixel = moving.pixelToWorld.inverse();
    m_worldToPixelLinear = worldToPixel.topLeftCorner<3, 3>();
    m_worldToPixelOffset = worldToPixel.topRightCorner<3, 1>();
    if (metric == ImageMetric::MattesMutualInformation)
        prepareMutualInformation(fixed, moving);
}

double RigidImageMetric::radiusAbout(const Vec3& centre) const
{
    return std::sqrt((m_positions.rowwise() - centre.transpose()).rowwise().squaredNorm().mean());
}

double RigidImageMetric::evaluate(const RigidPose& pose, PoseGradient* gradient) const
{
    const auto count = static_cast<std::size_t>(m_positions.rows());
    MovingSamples samples;
    samples.values.resize(count);
    samples.inside.resize(count);
    Points gradients(m_positions.rows(), 3);
    Points arms(m_positions.rows(), 3);
    // Pass 1: the moving intensity and its world gradient at each sample's mapped position.
    forEachChunk(metricChunks, m_threads, [&](int chunk) {
        const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
        for (long s = begin; s < end; ++s) {
            const Vec3 x = m_positions.row(s);
            const Vec3 arm = pose.rotation * (x - pose.centre);
            const Vec3 y = arm + pose.centre + pose.translation;
            const Vec3 pixel = m_worldToPixelLinear * y + m_worldToPixelOffset;
            Vec3 pixelGradient;
            double& value = samples.values[static_cast<std::size_t>(s)];
            samples.inside[static_cast<std::size_t>(s)] =
                m_interpolation == Interpolation::CubicBSpline ? m_splineCoefficients.interpolateSpline(pixel, value, pixelGradient)
                                                               : m_moving.interpolate(pixel, value, pixelGradient);
            gradients.row(s) = (m_worldToPixelLinear.transpose() * pixelGradient).transpose();
            arms.row(s) = arm.transpose();
        }
    });
    for (const char in : samples.inside)
        samples.count += in;
    if (samples.count < 16.0)
        return std::numeric_limits<double>::infinity();

    // Pass 2: the cost, and its derivative with respect to each sample's moving intensity.
    std::vector<double> weight(count, 0.0);
    double cost = std::numeric_limits<double>::infinity();
    switch (m_metric) {
    case ImageMetric::MeanSquares: cost = meanSquares(samples, weight); break;
    case ImageMetric::NormalizedCrossCorrelation: cost = normalizedCorrelation(samples, weight); break;
    case ImageMetric::MattesMutualInformation: cost = mutualInformation(samples, gradient ? &weight : nullptr); break;
    }
    if (gradient && std::isfinite(cost)) {
        std::vector<PoseGradient> partial(metricChunks, PoseGradient::Zero());
        forEachChunk(metricChunks, m_threads, [&](int chunk) {
            const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
            PoseGradient& sum = partial[static_cast<std::size_t>(chunk)];
            for (long s = begin; s < end; ++s)
                if (samples.inside[static_cast<std::size_t>(s)]) {
                    const Vec3 g = gradients.row(s);
                    const Vec3 arm = arms.row(s);
                    sum.head<3>() += weight[static_cast<std::size_t>(s)] * arm.cross(g);
                    sum.tail<3>() += weight[static_cast<std::size_t>(s)] * g;
                }
        });
        gradient->setZero();
        for (const PoseGradient& p : partial)
            *gradient += p;
    }
    return cost;
}

}  // namespace corvaxis::registration
