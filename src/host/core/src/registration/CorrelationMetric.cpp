#include "RigidImageMetric.h"

#include <cmath>
#include <limits>

namespace corvaxis::registration {

double RigidImageMetric::normalizedCorrelation(const MovingSamples& samples, std::vector<double>& weight) const
{
    const double n = samples.count;
    double sf = 0, sm = 0, sff = 0, smm = 0, sfm = 0;
    for (std::size_t s = 0; s < samples.values.size(); ++s)
        if (samples.inside[s]) {
            const double f = m_fixedValues[s], m = samples.values[s];
            sf += f, sm += m, sff += f * f, smm += m * m, sfm += f * m;
        }
    const double fixedVariance = sff - sf * sf / n, movingVariance = smm - sm * sm / n, covariance = sfm - sf * sm / n;
    // Without variation on either side there is nothing to correlate.
    if (!(fixedVariance > 0.0) || !(movingVariance > 0.0))
        return std::numeric_limits<double>::infinity();
    const double normaliser = std::sqrt(fixedVariance * movingVariance), correlation = covariance / normaliser;
    for (std::size_t s = 0; s < samples.values.size(); ++s)
        if (samples.inside[s])
            weight[s] = -((m_fixedValues[s] - sf / n) / normaliser - correlation * (samples.values[s] - sm / n) / movingVariance);
    return -correlation;
}

}  // namespace corvaxis::registration
