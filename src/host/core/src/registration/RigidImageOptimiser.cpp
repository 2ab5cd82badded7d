#include "RigidImageOptimiser.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvaxis::registration {

// Only gradients steer the descent, never cost comparisons: samples entering or leaving the
// moving image make the cost jump by more than the last steps gain, while its gradient stays
// smooth. So the line search looks for the point where the gradient along the direction has
// shrunk (it changes sign at the minimum along the line).
DescentOutcome descend(const RigidImageMetric& metric, RigidPose& pose, double radius, double largestStep, double smallestStep,
                       int maxIterations, const std::function<bool(int)>& report)
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

}  // namespace corvaxis::registration
