#include "corvaxis/core/registration/ImageRegistration.h"

#include "Parallel.h"
#include "RigidImageMetric.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace corvaxis::registration {

namespace {

// Fixed number of work chunks, so that sums are formed in the same order on any machine.
constexpr int metricChunks = 16;
// Empty bins beside each intensity range, so that every cubic Parzen window stays inside.
constexpr int binPadding = 2;

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

double cubicBSpline(double u)
{
    u = std::abs(u);
    if (u < 1.0)
        return 2.0 / 3.0 - u * u + 0.5 * u * u * u;
    if (u < 2.0)
        return (2.0 - u) * (2.0 - u) * (2.0 - u) / 6.0;
    return 0.0;
}

double cubicBSplineDerivative(double u)
{
    const double a = std::abs(u);
    if (a < 1.0)
        return -2.0 * u + 1.5 * u * a;
    if (a < 2.0)
        return -0.5 * (2.0 - a) * (2.0 - a) * (u < 0.0 ? -1.0 : 1.0);
    return 0.0;
}

// Whole-sample mirror of an index just outside [0, size).
int mirrored(int index, int size)
{
    if (index < 0)
        return std::min(-index, size - 1);
    if (index >= size)
        return std::max(2 * size - 2 - index, 0);
    return index;
}

// Turns samples into the coefficients of the interpolating cubic B-spline: the inverse of the
// filter (1 4 1) / 6 as one causal and one anticausal recursion with the pole sqrt(3) - 2.
void splinePrefilter(std::vector<double>& line)
{
    const std::size_t n = line.size();
    if (n < 2)
        return;
    const double z = std::sqrt(3.0) - 2.0;
    for (double& v : line)
        v *= 6.0;  // (1 - z) (1 - 1 / z)
    // Start of the causal recursion over the mirrored line (period 2n - 2): summed in full for short
    // lines, cut off after 40 terms for long ones (|z|^40 is far below float precision).
    double sum = line[0];
    if (n > 40) {
        double power = z;
        for (std::size_t k = 1; k < 40; ++k, power *= z)
            sum += power * line[k];
    } else {
        double power = z, mirroredPower = std::pow(z, static_cast<double>(n - 1));
        sum += mirroredPower * line[n - 1];
        mirroredPower *= mirroredPower / z;
        for (std::size_t k = 1; k + 1 < n; ++k, power *= z, mirroredPower /= z)
            sum += (power + mirroredPower) * line[k];
        sum /= 1.0 - power * power;
    }
    line[0] = sum;
    for (std::size_t k = 1; k < n; ++k)
        line[k] += z * line[k - 1];
    line[n - 1] = z / (z * z - 1.0) * (line[n - 1] + z * line[n - 2]);
    for (std::size_t k = n - 1; k-- > 0;)
        line[k] = z * (line[k + 1] - line[k]);
}

// Weights of the four cubic B-spline taps around a position whose fraction past the first inner
// tap is t, and their derivatives.
void splineWeights(double t, double weight[4], double derivative[4])
{
    const double s = 1.0 - t, t2 = t * t;
    weight[0] = s * s * s / 6.0;
    weight[1] = (3.0 * t2 * t - 6.0 * t2 + 4.0) / 6.0;
    weight[2] = (-3.0 * t2 * t + 3.0 * t2 + 3.0 * t + 1.0) / 6.0;
    weight[3] = t2 * t / 6.0;
    derivative[0] = -0.5 * s * s;
    derivative[1] = 1.5 * t2 - 2.0 * t;
    derivative[2] = -1.5 * t2 + t + 0.5;
    derivative[3] = 0.5 * t2;
}

Eigen::Matrix3d rotationFromVector(const Vec3& v)
{
    const double angle = v.norm();
    return angle > 0.0 ? Eigen::AngleAxisd(angle, v / angle).toRotationMatrix() : Eigen::Matrix3d::Identity();
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

bool Volume::interpolateSpline(const Vec3& pixel, double& value, Vec3& gradient) const
{
    int index[3][4];
    double weight[3][4], derivative[3][4];
    for (int a = 0; a < 3; ++a) {
        const int size = dimensions[static_cast<std::size_t>(a)];
        if (!(pixel[a] >= 0.0 && pixel[a] <= size - 1))
            return false;
        const int base = static_cast<int>(pixel[a]);
        splineWeights(pixel[a] - base, weight[a], derivative[a]);
        for (int j = 0; j < 4; ++j)
            index[a][j] = mirrored(base - 1 + j, size);
    }
    value = 0.0;
    gradient.setZero();
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 4; ++j) {
            const float* row = values.data() + (static_cast<std::size_t>(index[2][k]) * static_cast<std::size_t>(dimensions[1]) +
                                                static_cast<std::size_t>(index[1][j])) *
                                                   static_cast<std::size_t>(dimensions[0]);
            double along = 0.0, alongDerivative = 0.0;
            for (int i = 0; i < 4; ++i) {
                const double c = row[index[0][i]];
                along += weight[0][i] * c;
                alongDerivative += derivative[0][i] * c;
            }
            const double wy = weight[1][j], wz = weight[2][k];
            value += wy * wz * along;
            gradient[0] += wy * wz * alongDerivative;
            gradient[1] += derivative[1][j] * wz * along;
            gradient[2] += wy * derivative[2][k] * along;
        }
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

Volume halved(const Volume& volume)
{
    // Binomial 1-2-1 smoothing along each axis (clamped at the borders), then every second pixel.
    Volume smooth = volume;
    const auto& d = volume.dimensions;
    for (int axis = 0; axis < 3; ++axis) {
        const Volume source = smooth;
        for (int z = 0; z < d[2]; ++z)
            for (int y = 0; y < d[1]; ++y)
                for (int x = 0; x < d[0]; ++x) {
                    int p[3] = {x, y, z}, lo[3] = {x, y, z}, hi[3] = {x, y, z};
                    lo[axis] = std::max(p[axis] - 1, 0);
                    hi[axis] = std::min(p[axis] + 1, d[static_cast<std::size_t>(axis)] - 1);
                    smooth.values[(static_cast<std::size_t>(z) * d[1] + y) * d[0] + x] =
                        0.25f * source.at(lo[0], lo[1], lo[2]) + 0.5f * source.at(x, y, z) + 0.25f * source.at(hi[0], hi[1], hi[2]);
                }
    }
    Volume result;
    for (int a = 0; a < 3; ++a)
        result.dimensions[static_cast<std::size_t>(a)] = (d[static_cast<std::size_t>(a)] + 1) / 2;
    result.values.resize(static_cast<std::size_t>(result.dimensions[0]) * result.dimensions[1] * result.dimensions[2]);
    std::size_t i = 0;
    for (int z = 0; z < result.dimensions[2]; ++z)
        for (int y = 0; y < result.dimensions[1]; ++y)
            for (int x = 0; x < result.dimensions[0]; ++x)
                result.values[i++] = smooth.at(2 * x, 2 * y, 2 * z);
    result.pixelToWorld = volume.pixelToWorld;
    result.pixelToWorld.topLeftCorner<3, 3>() *= 2.0;
    return result;
}

Volume splineCoefficients(const Volume& volume, int threads)
{
    Volume result = volume;
    const auto& d = volume.dimensions;
    const std::size_t strides[3] = {1, static_cast<std::size_t>(d[0]), static_cast<std::size_t>(d[0]) * d[1]};
    for (int axis = 0; axis < 3; ++axis) {
        const auto length = static_cast<std::size_t>(d[static_cast<std::size_t>(axis)]);
        const std::size_t stride = strides[axis];
        const auto lines = static_cast<long>(result.values.size() / length);
        // Lines are independent, so any split over threads gives the same coefficients.
        forEachChunk(metricChunks, threads, [&](int chunk) {
            const auto [begin, end] = chunkRange(lines, metricChunks, chunk);
            std::vector<double> line(length);
            for (auto l = static_cast<std::size_t>(begin); l < static_cast<std::size_t>(end); ++l) {
                const std::size_t start = (l / stride) * stride * length + l % stride;
                for (std::size_t k = 0; k < length; ++k)
                    line[k] = result.values[start + k * stride];
                splinePrefilter(line);
                for (std::size_t k = 0; k < length; ++k)
                    result.values[start + k * stride] = static_cast<float>(line[k]);
            }
        });
    }
    return result;
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

RigidPose RigidPose::moved(const Vec3& rotationVector, const Vec3& shift) const
{
    RigidPose next = *this;
    next.rotation = rotationFromVector(rotationVector) * rotation;
    next.translation += shift;
    return next;
}

Mat4 RigidPose::movingToFixed() const
{
    // y = R (x - c) + c + t, so x = R^T (y - c - t) + c.
    Mat4 m = Mat4::Identity();
    m.topLeftCorner<3, 3>() = rotation.transpose();
    m.topRightCorner<3, 1>() = centre - rotation.transpose() * (centre + translation);
    return m;
}

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

    if (metric == ImageMetric::MattesMutualInformation) {
        // Both intensities are spread over four bins by a cubic B-spline window: for the moving one
        // this makes the histogram differentiable, for the fixed one it keeps each sample's share of
        // the gradient a smooth function of its intensity, which a few samples then estimate well.
        const auto [fixedLow, fixedHigh] = std::minmax_element(fixed.values.begin(), fixed.values.end());
        const double fixedWidth = std::max<double>(*fixedHigh - *fixedLow, 1e-12) / (bins - 2 * binPadding - 1);
        m_fixedFirstBins.resize(chosen.size());
        m_fixedWindows.resize(chosen.size());
        for (std::size_t s = 0; s < chosen.size(); ++s) {
            // Clamped against rounding: every window stays inside.
            const double position = std::clamp((m_fixedValues[s] - *fixedLow) / fixedWidth + binPadding, double(binPadding),
                                               double(bins - binPadding - 1));
            m_fixedFirstBins[s] = static_cast<int>(std::floor(position)) - 1;
            for (int i = 0; i < 4; ++i)
                m_fixedWindows[s][static_cast<std::size_t>(i)] = cubicBSpline(m_fixedFirstBins[s] + i - position);
        }
        const auto [movingLow, movingHigh] = std::minmax_element(moving.values.begin(), moving.values.end());
        m_movingMinimum = *movingLow;
        m_movingBinWidth = std::max<double>(*movingHigh - *movingLow, 1e-12) / (bins - 2 * binPadding - 1);
    }
}

double RigidImageMetric::radiusAbout(const Vec3& centre) const
{
    return std::sqrt((m_positions.rowwise() - centre.transpose()).rowwise().squaredNorm().mean());
}

double RigidImageMetric::evaluate(const RigidPose& pose, PoseGradient* gradient) const
{
    const auto count = static_cast<std::size_t>(m_positions.rows());
    std::vector<double> values(count);
    std::vector<char> inside(count);
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
            double& value = values[static_cast<std::size_t>(s)];
            inside[static_cast<std::size_t>(s)] = m_interpolation == Interpolation::CubicBSpline
                                                      ? m_splineCoefficients.interpolateSpline(pixel, value, pixelGradient)
                                                      : m_moving.interpolate(pixel, value, pixelGradient);
            gradients.row(s) = (m_worldToPixelLinear.transpose() * pixelGradient).transpose();
            arms.row(s) = arm.transpose();
        }
    });
    double n = 0.0;
    for (const char in : inside)
        n += in;
    if (n < 16.0)
        return std::numeric_limits<double>::infinity();

    // Derivative of the cost with respect to each sample's moving intensity.
    std::vector<double> weight(count, 0.0);
    double cost = 0.0;
    switch (m_metric) {
    case ImageMetric::MeanSquares:
        for (std::size_t s = 0; s < count; ++s)
            if (inside[s]) {
                const double difference = values[s] - m_fixedValues[s];
                cost += difference * difference / n;
                weight[s] = 2.0 * difference / n;
            }
        break;
    case ImageMetric::NormalizedCrossCorrelation: {
        double sf = 0, sm = 0, sff = 0, smm = 0, sfm = 0;
        for (std::size_t s = 0; s < count; ++s)
            if (inside[s]) {
                const double f = m_fixedValues[s], m = values[s];
                sf += f, sm += m, sff += f * f, smm += m * m, sfm += f * m;
            }
        const double fixedVariance = sff - sf * sf / n, movingVariance = smm - sm * sm / n, covariance = sfm - sf * sm / n;
        if (!(fixedVariance > 0.0) || !(movingVariance > 0.0))
            return std::numeric_limits<double>::infinity();
        const double normaliser = std::sqrt(fixedVariance * movingVariance), correlation = covariance / normaliser;
        cost = -correlation;
        for (std::size_t s = 0; s < count; ++s)
            if (inside[s])
                weight[s] = -((m_fixedValues[s] - sf / n) / normaliser - correlation * (values[s] - sm / n) / movingVariance);
        break;
    }
    case ImageMetric::MattesMutualInformation: {
        const auto bins = static_cast<Eigen::Index>(m_bins);
        // One histogram per chunk, added in chunk order.
        std::vector<Eigen::MatrixXd> partialJoint(metricChunks, Eigen::MatrixXd::Zero(bins, bins));  // fixed bin x moving bin
        std::vector<double> position(count);
        forEachChunk(metricChunks, m_threads, [&](int chunk) {
            const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
            Eigen::MatrixXd& histogram = partialJoint[static_cast<std::size_t>(chunk)];
            for (auto s = static_cast<std::size_t>(begin); s < static_cast<std::size_t>(end); ++s)
                if (inside[s]) {
                    position[s] = (values[s] - m_movingMinimum) / m_movingBinWidth + binPadding;
                    const int first = static_cast<int>(std::floor(position[s])) - 1;
                    const int fixedFirst = m_fixedFirstBins[s];
                    for (int i = fixedFirst; i <= fixedFirst + 3; ++i) {
                        const double fixedWeight = m_fixedWindows[s][static_cast<std::size_t>(i - fixedFirst)];
                        for (int k = std::max(first, 0); k <= std::min(first + 3, m_bins - 1); ++k)
                            histogram(i, k) += fixedWeight * cubicBSpline(k - position[s]);
                    }
                }
        });
        Eigen::MatrixXd joint = Eigen::MatrixXd::Zero(bins, bins);
        for (const Eigen::MatrixXd& histogram : partialJoint)
            joint += histogram;
        joint /= n;
        const Eigen::VectorXd fixedMarginal = joint.rowwise().sum();
        const Eigen::RowVectorXd movingMarginal = joint.colwise().sum();
        Eigen::MatrixXd logRatio = Eigen::MatrixXd::Zero(bins, bins);  // log p(f, m) / p(m)
        double information = 0.0;
        for (Eigen::Index k = 0; k < bins; ++k)
            for (Eigen::Index i = 0; i < bins; ++i)
                if (joint(i, k) > 1e-16) {
                    logRatio(i, k) = std::log(joint(i, k) / movingMarginal[k]);
                    information += joint(i, k) * (logRatio(i, k) - std::log(fixedMarginal[i]));
                }
        cost = -information;
        if (!gradient)
            break;
        forEachChunk(metricChunks, m_threads, [&](int chunk) {
            const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
            for (auto s = static_cast<std::size_t>(begin); s < static_cast<std::size_t>(end); ++s)
                if (inside[s]) {
                    const int first = static_cast<int>(std::floor(position[s])) - 1;
                    const int fixedFirst = m_fixedFirstBins[s];
                    double sum = 0.0;
                    for (int i = fixedFirst; i <= fixedFirst + 3; ++i) {
                        const double fixedWeight = m_fixedWindows[s][static_cast<std::size_t>(i - fixedFirst)];
                        for (int k = std::max(first, 0); k <= std::min(first + 3, m_bins - 1); ++k)
                            sum += fixedWeight * logRatio(i, k) * cubicBSplineDerivative(k - position[s]);
                    }
                    weight[s] = sum / (m_movingBinWidth * n);
                }
        });
        break;
    }
    }
    if (gradient) {
        std::vector<PoseGradient> partial(metricChunks, PoseGradient::Zero());
        forEachChunk(metricChunks, m_threads, [&](int chunk) {
            const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
            PoseGradient& sum = partial[static_cast<std::size_t>(chunk)];
            for (long s = begin; s < end; ++s)
                if (inside[static_cast<std::size_t>(s)]) {
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

Mat4 centredPixelToWorld(const Image& image, const Mat4& outer)
{
    Mat4 grid = Mat4::Identity();
    for (int a = 0; a < 3; ++a) {
        grid(a, a) = image.spacing[a];
        grid(a, 3) = -0.5 * image.spacing[a] * (image.dimensions()[static_cast<std::size_t>(a)] - 1);
    }
    return outer * image.matrix * grid;
}

namespace {

enum class DescentOutcome { Converged, NoOverlap, Cancelled };

/// Quasi-Newton (BFGS) descent of `metric` from `pose`, in millimetres: rotations count by the arc
/// they sweep at `radius`. Only gradients steer it, never cost comparisons: samples entering or
/// leaving the moving image make the cost jump by more than the last steps gain, while its
/// gradient stays smooth. So the line search looks for the point where the gradient along the
/// direction has shrunk (it changes sign at the minimum along the line). Steps are at most
/// `largestStep` long; it stops once a step is shorter than `smallestStep` or after
/// `maxIterations`. `report(iteration)` is called before each iteration; false cancels.
template <class Report>
DescentOutcome descend(const RigidImageMetric& metric, RigidPose& pose, double radius, double largestStep, double smallestStep,
                       int maxIterations, const Report& report)
{
    using Matrix6 = Eigen::Matrix<double, 6, 6>;
    const auto evaluate = [&](const RigidPose& at, PoseGradient& gradient) {
        const double cost = metric.evaluate(at, &gradient);
        gradient.head<3>() /= radius;
        return std::isfinite(cost);
    };
    const auto moved = [&](const PoseGradient& step) { return pose.moved(step.head<3>() / radius, step.tail<3>()); };
    PoseGradient gradient;
    if (!evaluate(pose, gradient))
        return DescentOutcome::NoOverlap;
    Matrix6 inverseHessian = Matrix6::Identity();
    bool fresh = true;  // the inverse Hessian is still a guess
    for (int iteration = 0; iteration < maxIterations; ++iteration) {
        if (!report(iteration))
            return DescentOutcome::Cancelled;
        if (!(gradient.norm() > 0.0))
            break;
        if (fresh)
            inverseHessian = Matrix6::Identity() * (largestStep / gradient.norm());
        PoseGradient direction = -inverseHessian * gradient;
        if (!(direction.dot(gradient) < 0.0)) {
            direction = -gradient * (largestStep / gradient.norm());
            fresh = true;
        }
        if (direction.norm() > largestStep)
            direction *= largestStep / direction.norm();
        // Line search on the slope alone: bracket its sign change, then narrow it by secants.
        const double slope = gradient.dot(direction);
        double low = 0.0, lowSlope = slope, high = -1.0, highSlope = 0.0, length = 1.0;
        bool accepted = false;
        PoseGradient candidateGradient, lowGradient;
        for (int trial = 0; trial < 16; ++trial) {
            if (!evaluate(moved(length * direction), candidateGradient)) {
                high = length, highSlope = std::numeric_limits<double>::infinity();
                length = 0.5 * (low + high);
                continue;
            }
            const double candidateSlope = candidateGradient.dot(direction);
            if (std::abs(candidateSlope) <= 0.5 * std::abs(slope)) {
                accepted = true;
                break;
            }
            if (candidateSlope < 0.0)
                low = length, lowSlope = candidateSlope, lowGradient = candidateGradient;
            else
                high = length, highSlope = candidateSlope;
            if (high < 0.0) {
                const double longest = largestStep / direction.norm();
                if (length >= longest)
                    break;  // still descending at the longest step: take it
                length = std::min(2.0 * length, longest);
            } else {
                const double width = high - low;
                const double secant = std::isfinite(highSlope) ? low - lowSlope * width / (highSlope - lowSlope) : low + 0.5 * width;
                length = std::clamp(secant, low + 0.1 * width, high - 0.1 * width);
            }
        }
        if (!accepted) {
            if (low > 0.0) {
                length = low;  // the longest step that still went downhill
                candidateGradient = lowGradient;
            } else if (fresh) {
                break;  // not even a short steepest-descent step goes downhill: as close as it gets
            } else {
                fresh = true;
                continue;
            }
        }
        const PoseGradient step = length * direction;
        pose = moved(step);
        const PoseGradient change = candidateGradient - gradient;
        gradient = candidateGradient;
        const double curvature = step.dot(change);
        if (curvature > 0.0) {
            if (fresh)
                inverseHessian = Matrix6::Identity() * (curvature / change.squaredNorm());
            const double rho = 1.0 / curvature;
            const Matrix6 left = Matrix6::Identity() - rho * step * change.transpose();
            inverseHessian = left * inverseHessian * left.transpose() + rho * step * step.transpose();
            fresh = false;
        }
        if (step.norm() < smallestStep)
            break;
    }
    return DescentOutcome::Converged;
}

}  // namespace

RigidImageRegistrationResult registerImagesRigidly(const Image& fixed, const Mat4& fixedPixelToWorld, const Image& moving,
                                                   const Mat4& movingPixelToWorld,
                                                   const RigidImageRegistrationOptions& options,
                                                   const Algorithm::ProgressCallback& progress)
{
    RigidImageRegistrationResult result;
    const auto fail = [&](int status, std::string message) {
        result = {};
        result.status = status;
        result.message = std::move(message);
        return result;
    };
    for (const auto* image : {&fixed, &moving})
        for (const int size : image->dimensions())
            if (size < 4)
                return fail(Algorithm::InvalidInput, "Rigid image registration needs 3-D images of at least 4 pixels along each axis");
    for (const Mat4* matrix : {&fixedPixelToWorld, &movingPixelToWorld})
        if (!matrix->allFinite() || std::abs(matrix->topLeftCorner<3, 3>().determinant()) < 1e-12)
            return fail(Algorithm::InvalidInput, "An image's pixel-to-world matrix is not finite or not invertible");
    if (options.levels < 1 || options.histogramBins < 8 || options.samples < 0 || options.maxIterationsPerLevel < 0 ||
        !(options.initialStep > 0.0) || !(options.minimumStep > 0.0) || options.minimumStep > options.initialStep)
        return fail(Algorithm::InvalidInput,
                    "Rigid image registration options out of range: at least one level and 8 histogram bins, samples and "
                    "iterations non-negative, steps positive with the smallest not above the first");

    std::vector<Volume> fixedLevels{volumeFrom(fixed, fixedPixelToWorld)}, movingLevels{volumeFrom(moving, movingPixelToWorld)};
    for (int level = 1; level < options.levels; ++level) {
        if (std::min({fixedLevels.back().dimensions[0], fixedLevels.back().dimensions[1], fixedLevels.back().dimensions[2],
                      movingLevels.back().dimensions[0], movingLevels.back().dimensions[1], movingLevels.back().dimensions[2]}) < 16)
            break;  // coarser levels would hold too little to register
        fixedLevels.push_back(halved(fixedLevels.back()));
        movingLevels.push_back(halved(movingLevels.back()));
    }

    RigidPose pose;
    pose.centre = centreOfMass(fixedLevels.front());
    pose.translation = centreOfMass(movingLevels.front()) - pose.centre;
    const int levels = static_cast<int>(fixedLevels.size());
    for (int level = levels - 1; level >= 0; --level) {
        const Volume& movingLevel = movingLevels[static_cast<std::size_t>(level)];
        // The finest level reads the moving image through a cubic B-spline: trilinear interpolation
        // blurs by an amount that depends on where a sample falls between voxels, which pulls the
        // optimum towards poses where samples fall on the moving grid.
        const auto interpolation = level == 0 ? RigidImageMetric::Interpolation::CubicBSpline : RigidImageMetric::Interpolation::Trilinear;
        const RigidImageMetric metric(fixedLevels[static_cast<std::size_t>(level)], movingLevel, options.metric,
                                      options.histogramBins, options.samples, options.threads, interpolation);
        const double voxel = std::max(fixedLevels[static_cast<std::size_t>(level)].voxelSize(), movingLevel.voxelSize());
        const double radius = std::max(metric.radiusAbout(pose.centre), voxel);
        const auto report = [&](int iteration) {
            const double fraction = (levels - 1 - level + static_cast<double>(iteration) / options.maxIterationsPerLevel) / levels;
            ++result.iterations;
            return !progress || progress(fraction, fmt::format("Level {} of {}", levels - level, levels));
        };
        const DescentOutcome outcome = descend(metric, pose, radius, options.initialStep * voxel, options.minimumStep * voxel,
                                               options.maxIterationsPerLevel, report);
        if (outcome == DescentOutcome::NoOverlap)
            return fail(Algorithm::Error, "The images do not overlap enough to be registered");
        if (outcome == DescentOutcome::Cancelled)
            return fail(Algorithm::Cancelled, "Cancelled");
        if (level == 0)
            result.metricValue = metric.evaluate(pose, nullptr);
    }
    result.transformation = pose.movingToFixed();
    result.status = Algorithm::Success;
    return result;
}

}  // namespace corvaxis::registration
