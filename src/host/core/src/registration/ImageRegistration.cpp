#include "corvaxis/core/registration/ImageRegistration.h"

#include "RigidImageMetric.h"
#include "RigidImageOptimiser.h"

#include <Eigen/LU>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace corvaxis::registration {

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

/// Why the input cannot be registered; empty when it can.
std::string inputProblem(const Image& fixed, const Mat4& fixedPixelToWorld, const Image& moving,
                         const Mat4& movingPixelToWorld, const RigidImageRegistrationOptions& options)
{
    for (const auto* image : {&fixed, &moving})
        for (const int size : image->dimensions())
            if (size < 4)
                return "Rigid image registration needs 3-D images of at least 4 pixels along each axis";
    for (const Mat4* matrix : {&fixedPixelToWorld, &movingPixelToWorld})
        if (!matrix->allFinite() || std::abs(matrix->topLeftCorner<3, 3>().determinant()) < 1e-12)
            return "An image's pixel-to-world matrix is not finite or not invertible";
    const auto metric = static_cast<int>(options.metric);
    if (metric < 0 || metric > static_cast<int>(ImageMetric::MeanSquares))
        return fmt::format("Rigid image registration options out of range: metric {} is none of 0 (mutual "
                           "information), 1 (normalized cross correlation), 2 (mean squares)",
                           metric);
    if (options.levels < 1 || options.levels > RigidImageRegistrationOptions::mostLevels ||
        options.histogramBins < RigidImageRegistrationOptions::fewestBins ||
        options.histogramBins > RigidImageRegistrationOptions::mostBins ||
        !RigidImageRegistrationOptions::acceptsSamples(options.samples) || options.maxIterationsPerLevel < 0 ||
        !(options.initialStep > 0.0) || !(options.minimumStep > 0.0) || options.minimumStep > options.initialStep)
        return fmt::format("Rigid image registration options out of range: 1 to {} levels, {} to {} histogram bins, "
                           "samples 0 or at least {}, iterations non-negative, steps positive with the smallest not "
                           "above the first",
                           RigidImageRegistrationOptions::mostLevels, RigidImageRegistrationOptions::fewestBins,
                           RigidImageRegistrationOptions::mostBins, RigidImageRegistrationOptions::fewestSamples);
    return {};
}

/// The two volumes at every resolution level, finest first.
struct Pyramid {
    std::vector<Volume> fixed, moving;
};

Pyramid pyramidOf(Volume fixed, Volume moving, int levels)
{
    Pyramid pyramid;
    pyramid.fixed.push_back(std::move(fixed));
    pyramid.moving.push_back(std::move(moving));
    for (int level = 1; level < levels; ++level) {
        const auto smallest = [](const Volume& volume) { return std::ranges::min(volume.dimensions); };
        if (std::min(smallest(pyramid.fixed.back()), smallest(pyramid.moving.back())) < 16)
            break;  // coarser levels would hold too little to register
        pyramid.fixed.push_back(halved(pyramid.fixed.back()));
        pyramid.moving.push_back(halved(pyramid.moving.back()));
    }
    return pyramid;
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
    if (std::string problem = inputProblem(fixed, fixedPixelToWorld, moving, movingPixelToWorld, options); !problem.empty())
        return fail(Algorithm::InvalidInput, std::move(problem));

    // Both images are copied before the first progress report: the caller may let the report
    // change or drop them.
    Volume fixedVolume = volumeFrom(fixed, fixedPixelToWorld), movingVolume = volumeFrom(moving, movingPixelToWorld);
    // Without content the metric is flat or undefined, and any pose it ends in means nothing.
    if (!hasContent(fixedVolume))
        return fail(Algorithm::InvalidInput, "The fixed image has no content to register: its intensities are all the "
                                             "same, or none of them is a finite number");
    if (!hasContent(movingVolume))
        return fail(Algorithm::InvalidInput, "The moving image has no content to register: its intensities are all the "
                                             "same, or none of them is a finite number");
    const Pyramid pyramid = pyramidOf(std::move(fixedVolume), std::move(movingVolume), options.levels);

    ProgressReporter reporter(progress);
    RigidPose pose;
    pose.centre = centreOfMass(pyramid.fixed.front());
    pose.translation = centreOfMass(pyramid.moving.front()) - pose.centre;
    const int levels = static_cast<int>(pyramid.fixed.size());
    for (int level = levels - 1; level >= 0; --level) {
        const Volume& fixedLevel = pyramid.fixed[static_cast<std::size_t>(level)];
        const Volume& movingLevel = pyramid.moving[static_cast<std::size_t>(level)];
        // The finest level reads the moving image through a cubic B-spline: trilinear interpolation
        // blurs by an amount that depends on where a sample falls between voxels, which pulls the
        // optimum towards poses where samples fall on the moving grid.
        const auto interpolation = level == 0 ? RigidImageMetric::Interpolation::CubicBSpline : RigidImageMetric::Interpolation::Trilinear;
        const RigidImageMetric metric(fixedLevel, movingLevel, options.metric, options.histogramBins, options.samples,
                                      options.threads, interpolation);
        const double voxel = std::max(fixedLevel.voxelSize(), movingLevel.voxelSize());
        const double radius = std::max(metric.radiusAbout(pose.centre), voxel);
        const std::string step = fmt::format("Level {} of {}", levels - level, levels);
        const auto report = [&](int iteration) {
            const double fraction = (levels - 1 - level + static_cast<double>(iteration) / options.maxIterationsPerLevel) / levels;
            ++result.iterations;
            return reporter.proceed(fraction, step);
        };
        const DescentOutcome outcome = descend(metric, pose, radius, options.initialStep * voxel, options.minimumStep * voxel,
                                               options.maxIterationsPerLevel, report);
        if (outcome == DescentOutcome::NoOverlap)
            return fail(Algorithm::Error, "The images do not overlap enough to be registered");
        if (outcome == DescentOutcome::Cancelled)
            return fail(Algorithm::Cancelled, std::string(Algorithm::cancelledMessage));
        if (level == 0)
            result.metricValue = metric.evaluate(pose, nullptr);
    }
    result.transformation = pose.movingToFixed();
    result.status = Algorithm::Success;
    return result;
}

}  // namespace corvaxis::registration
