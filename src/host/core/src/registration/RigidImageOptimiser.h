#pragma once

#include "RigidImageMetric.h"

#include <functional>

namespace corvaxis::registration {

enum class DescentOutcome { Converged, NoOverlap, Cancelled };

/// Quasi-Newton (BFGS) descent of `metric` from `pose`, in millimetres: rotations count by the arc
/// they sweep at `radius`. Steps are at most `largestStep` long; it stops once a step is shorter
/// than `smallestStep` or after `maxIterations`. `report(iteration)` is called before each
/// iteration; false cancels.
DescentOutcome descend(const RigidImageMetric& metric, RigidPose& pose, double radius, double largestStep,
                       double smallestStep, int maxIterations, const std::function<bool(int)>& report);

}  // namespace corvaxis::registration
