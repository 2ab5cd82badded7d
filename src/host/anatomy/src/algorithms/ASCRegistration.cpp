#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include "MovedPoints.h"

#include "corvaxis/anatomy/algorithms/CollectionMove.h"
#include "corvaxis/core/registration/RigidAlignment.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <string>

namespace corvaxis {

namespace {

using Method = ASCRegistration::RegistrationMethod;

constexpr double largestDouble = std::numeric_limits<double>::max();
constexpr double smallestPositive = std::numeric_limits<double>::min();

}  // namespace

ASCRegistration::ASCRegistration(AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving,
                                 SharedImageSet* fixedImages, SharedImageSet* movingImages)
    : m_fixed(fixed), m_moving(moving), m_fixedImages(fixedImages), m_movingImages(movingImages)
{
    // Every parameter refuses a value outside its range when it is assigned.
    p_registrationMethod.setAllowedValues({Method::PointsAndPlanes, Method::DeformableMeshRegistration, Method::RigidImages,
                                           Method::PointsRigidScaling});
    p_planeWeight.setRange(0.0, largestDouble, "finite and not negative");
    p_kernelWidth.setRange(smallestPositive, largestDouble, "positive and finite");
    p_smoothness.setRange(smallestPositive, largestDouble, "positive and finite");
    p_outlierWeight.setRequirement("at least 0 and below 1", [](double weight) { return weight >= 0.0 && weight < 1.0; });
    p_kernelRank.setRange(1, largestKernelRank);
    p_deformableIterations.setRange(0, mostDeformableIterations);
    p_deformableTolerance.setRange(0.0, largestDouble, "finite and not negative");
    p_imageMetric.setAllowedValues({registration::ImageMetric::MattesMutualInformation,
                                    registration::ImageMetric::NormalizedCrossCorrelation,
                                    registration::ImageMetric::MeanSquares});
    p_imageLevels.setRange(1, registration::RigidImageRegistrationOptions::mostLevels);
    p_histogramBins.setRange(registration::RigidImageRegistrationOptions::fewestBins,
                             registration::RigidImageRegistrationOptions::mostBins);
    p_imageSamples.setRequirement(fmt::format("0 (every voxel) or at least {}",
                                              registration::RigidImageRegistrationOptions::fewestSamples),
                                  registration::RigidImageRegistrationOptions::acceptsSamples);
}

registration::Alignment ASCRegistration::estimate(const CollectionCorrespondences& correspondences) const
{
    if (p_registrationMethod.value() == Method::PointsRigidScaling)
        return registration::similarityFromPoints(correspondences.movingPoints, correspondences.fixedPoints);
    return registration::rigidFromPointsAndPlanes(correspondences.movingPoints, correspondences.fixedPoints,
                                                  correspondences.movingPlanes, correspondences.fixedPlanes,
                                                  p_planeWeight.value());
}

std::optional<CollectionMove> ASCRegistration::planMove(Run& run, const Mat4& transformation,
                                                        const CollectionMove::PointMap& moveKeypoint)
{
    std::string failure;
    std::optional<CollectionMove> move = CollectionMove::plan(m_moving, transformation, failure, moveKeypoint);
    if (!move)
        run.fail(InvalidInput, failure);
    return move;
}

void ASCRegistration::recordResults(const CollectionCorrespondences& correspondences, const Mat4& transformation,
                                    const registration::Points& moved, int pairsUsed, int planePairs)
{
    Properties& results = mutableResults();
    results.setParam("transformation", transformation);
    results.setParam("correspondences", pairsUsed);
    results.setParam("point_pairs", static_cast<int>(correspondences.movingPoints.cols()));
    results.setParam("plane_pairs", planePairs);
    results.setParam("scale", std::cbrt(transformation.topLeftCorner<3, 3>().determinant()));
    results.setParam("rms_before",
                     registration::rootMeanSquareDistance(correspondences.movingPoints, correspondences.fixedPoints));
    results.setParam("rms_after", registration::rootMeanSquareDistance(moved, correspondences.fixedPoints));
}

void ASCRegistration::compute()
{
    // Parameters cannot change from here on (the run holds them), and were checked when assigned.
    Run run(*this, "ASCRegistration");
    if (!run.proceed(0.0, "Gathering correspondences"))
        return;
    const CollectionCorrespondences correspondences = CollectionCorrespondences::gather(m_fixed, m_moving);
    switch (p_registrationMethod.value()) {
    case Method::DeformableMeshRegistration: return registerMeshes(run, correspondences);
    case Method::RigidImages: return registerImages(run, correspondences);
    case Method::PointsAndPlanes:
    case Method::PointsRigidScaling: return registerPoints(run, correspondences);
    }
}

void ASCRegistration::registerPoints(Run& run, const CollectionCorrespondences& correspondences)
{
    if (correspondences.movingPoints.cols() == 0 && correspondences.movingPlanes.cols() == 0)
        return run.fail(IncompleteInput,
                        "No correspondences: the collections share no keypoint or plane under the same key in "
                        "structures of the same identifier");
    if (!run.proceed(0.3, "Estimating the transformation"))
        return;
    const registration::Alignment alignment = estimate(correspondences);
    if (!alignment.succeeded())
        return run.fail(InvalidInput, alignment.failure);

    // The last chance to stop: from here on the moving collection changes as a whole.
    if (!run.proceed(0.6, "Moving the collection"))
        return;
    std::optional<CollectionMove> move = planMove(run, alignment.transformation);
    if (!move)
        return;
    move->apply();
    const bool planesUsed = p_registrationMethod.value() == Method::PointsAndPlanes && p_planeWeight.value() > 0.0;
    const int pointPairs = static_cast<int>(correspondences.movingPoints.cols());
    const int planePairs = planesUsed ? static_cast<int>(correspondences.movingPlanes.cols()) : 0;
    recordResults(correspondences, alignment.transformation,
                  movedPoints(alignment.transformation, correspondences.movingPoints), pointPairs + planePairs, planePairs);
    run.succeed();
}

}  // namespace corvaxis
