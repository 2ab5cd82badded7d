#include "Parallel.h"
#include "RigidImageMetric.h"

#include <algorithm>
#include <cmath>

// Cubic B-spline reading of the moving image: the prefilter that turns intensities into spline
// coefficients, and interpolation of value and gradient from them.

namespace corvaxis::registration {

namespace {

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

}  // namespace

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

}  // namespace corvaxis::registration
