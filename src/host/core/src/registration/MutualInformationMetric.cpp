#include "Parallel.h"
#include "RigidImageMetric.h"

#include <algorithm>
#include <cmath>

// Mattes mutual information: a joint histogram of fixed and moving intensities with cubic
// B-spline (Parzen) windows, differentiable in the moving intensity.

namespace corvaxis::registration {

namespace {

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

}  // namespace

void RigidImageMetric::prepareMutualInformation(const Volume& fixed, const Volume& moving)
{
    // Both intensities are spread over four bins by a cubic B-spline window: for the moving one
    // this makes the histogram differentiable, for the fixed one it keeps each sample's share of
    // the gradient a smooth function of its intensity, which a few samples then estimate well.
    const auto [fixedLow, fixedHigh] = std::minmax_element(fixed.values.begin(), fixed.values.end());
    const double fixedWidth = std::max<double>(*fixedHigh - *fixedLow, 1e-12) / (m_bins - 2 * binPadding - 1);
    m_fixedFirstBins.resize(m_fixedValues.size());
    m_fixedWindows.resize(m_fixedValues.size());
    for (std::size_t s = 0; s < m_fixedValues.size(); ++s) {
        // Clamped against rounding: every window stays inside.
        const double position = std::clamp((m_fixedValues[s] - *fixedLow) / fixedWidth + binPadding, double(binPadding),
                                           double(m_bins - binPadding - 1));
        m_fixedFirstBins[s] = static_cast<int>(std::floor(position)) - 1;
        for (int i = 0; i < 4; ++i)
            m_fixedWindows[s][static_cast<std::size_t>(i)] = cubicBSpline(m_fixedFirstBins[s] + i - position);
    }
    const auto [movingLow, movingHigh] = std::minmax_element(moving.values.begin(), moving.values.end());
    m_movingMinimum = *movingLow;
    m_movingBinWidth = std::max<double>(*movingHigh - *movingLow, 1e-12) / (m_bins - 2 * binPadding - 1);
}

double RigidImageMetric::mutualInformation(const MovingSamples& samples, std::vector<double>* weight) const
{
    const auto count = samples.values.size();
    const double n = samples.count;
    const auto bins = static_cast<Eigen::Index>(m_bins);
    // One histogram per chunk, added in chunk order.
    std::vector<Eigen::MatrixXd> partialJoint(metricChunks, Eigen::MatrixXd::Zero(bins, bins));  // fixed bin x moving bin
    std::vector<double> position(count);
    forEachChunk(metricChunks, m_threads, [&](int chunk) {
        const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
        Eigen::MatrixXd& histogram = partialJoint[static_cast<std::size_t>(chunk)];
        for (auto s = static_cast<std::size_t>(begin); s < static_cast<std::size_t>(end); ++s)
            if (samples.inside[s]) {
                position[s] = (samples.values[s] - m_movingMinimum) / m_movingBinWidth + binPadding;
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
    if (!weight)
        return -information;
    forEachChunk(metricChunks, m_threads, [&](int chunk) {
        const auto [begin, end] = chunkRange(static_cast<long>(count), metricChunks, chunk);
        for (auto s = static_cast<std::size_t>(begin); s < static_cast<std::size_t>(end); ++s)
            if (samples.inside[s]) {
                const int first = static_cast<int>(std::floor(position[s])) - 1;
                const int fixedFirst = m_fixedFirstBins[s];
                double sum = 0.0;
                for (int i = fixedFirst; i <= fixedFirst + 3; ++i) {
                    const double fixedWeight = m_fixedWindows[s][static_cast<std::size_t>(i - fixedFirst)];
                    for (int k = std::max(first, 0); k <= std::min(first + 3, m_bins - 1); ++k)
                        sum += fixedWeight * logRatio(i, k) * cubicBSplineDerivative(k - position[s]);
                }
                (*weight)[s] = sum / (m_movingBinWidth * n);
            }
    });
    return -information;
}

}  // namespace corvaxis::registration
