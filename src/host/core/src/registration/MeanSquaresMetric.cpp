#include "RigidImageMetric.h"

namespace corvaxis::registration {

double RigidImageMetric::meanSquares(const MovingSamples& samples, std::vector<double>& weight) const
{
    double cost = 0.0;
    for (std::size_t s = 0; s < samples.values.size(); ++s)
        if (samples.inside[s]) {
            const double difference = samples.values[s] - m_fixedValues[s];
            cost += difference * difference / samples.count;
            weight[s] = 2.0 * difference / samples.count;
        }
    return cost;
}

}  // namespace corvaxis::registration
