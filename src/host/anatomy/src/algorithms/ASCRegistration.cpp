#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include "corvaxis/anatomy/algorithms/CollectionMove.h"

#include <fmt/format.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace corvaxis {

namespace {

using Method = ASCRegistration::RegistrationMethod;

/// Values under the same key in two stores. Both iterate in key order, so one pass over the two
/// matches them without a lookup per key.
template <typename T>
void pairValues(const KeyValueStore<T>& fixed, const KeyValueStore<T>& moving, std::vector<T>& fixedValues,
                std::vector<T>& movingValues)
{
    auto fixedEntry = fixed.begin();
    for (auto movingEntry = moving.begin(); movingEntry != moving.end() && fixedEntry != fixed.end(); ++movingEntry) {
        while (fixedEntry != fixed.end() && fixedEntry->first < movingEntry->first)
            ++fixedEntry;
        if (fixedEntry == fixed.end() || fixedEntry->first != movingEntry->first)
            continue;
        const T& fixedValue = fixedEntry->second.value();
        const T& movingValue = movingEntry->second.value();
        if (KeyValueStore<T>::isValid(fixedValue) && KeyValueStore<T>::isValid(movingValue)) {
            fixedValues.push_back(fixedValue);
            movingValues.push_back(movingValue);
        }
    }
}

template <typename Matrix, typename T>
Matrix columns(const std::vector<T>& values)
{
    Matrix matrix(T::RowsAtCompileTime, static_cast<Eigen::Index>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i)
        matrix.col(static_cast<Eigen::Index>(i)) = values[i];
    return matrix;
}

/// Planes as unit normal and offset; a zero normal is left as it is (and fails the estimate's
/// rank checks rather than dividing by zero).
void normalisePlanes(registration::Planes& planes)
{
    for (Eigen::Index i = 0; i < planes.cols(); ++i) {
        const double length = planes.col(i).head<3>().norm();
        if (length > 0.0)
            planes.col(i) /= length;
    }
}

const char* methodName(Method method)
{
    switch (method) {
    case Method::PointsAndPlanes:
        return "PointsAndPlanes";
    case Method::DeformableMeshRegistration:
        return "DeformableMeshRegistration";
    case Method::RigidImages:
        return "RigidImages";
    case Method::PointsRigidScaling:
        return "PointsRigidScaling";
    }
    return nullptr;
}

}  // namespace

CollectionCorrespondences CollectionCorrespondences::gather(const AnatomicalStructureCollection& fixed,
                                                            const AnatomicalStructureCollection& moving)
{
    std::vector<Vec3> fixedPoints, movingPoints;
    std::vector<Vec4> fixedPlanes, movingPlanes;
    std::set<std::string> seen;
    for (int index = 0; index < moving.numAnatomicalStructures(); ++index) {
        const AnatomicalStructure& movingStructure = *moving.anatomicalStructure(index);
        const std::string identifier = movingStructure.identifier();
        // Identifiers should be unique; where they are not, the first structure counts, as in lookups.
        if (!seen.insert(identifier).second)
            continue;
        const AnatomicalStructure* fixedStructure = fixed.anatomicalStructureByIdentifier(identifier);
        if (!fixedStructure)
            continue;
        pairValues(fixedStructure->keypoints, movingStructure.keypoints, fixedPoints,
                                               movingPoints);
        pairValues(fixedStructure->planes, movingStructure.planes, fixedPlanes,
                                               movingPlanes);
    }
    CollectionCorrespondences correspondences;
    correspondences.fixedPoints = columns<registration::Points>(fixedPoints);
    correspondences.movingPoints = columns<registration::Points>(movingPoints);
    correspondences.fixedPlanes = columns<registration::Planes>(fixedPlanes);
    correspondences.movingPlanes = columns<registration::Planes>(movingPlanes);
    normalisePlanes(correspondences.fixedPlanes);
    normalisePlanes(correspondences.movingPlanes);
    return correspondences;
}

ASCRegistration::ASCRegistration(AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving,
                                 SharedImageSet* fixedImages, SharedImageSet* movingImages)
    : m_fixed(fixed), m_moving(moving), m_fixedImages(fixedImages), m_movingImages(movingImages)
{
}

bool ASCRegistration::goOn(double fraction, const char* step)
{
    if (reportProgress(fraction, step))
        return true;
    setStatus(Cancelled, "Registration cancelled; the moving collection is unchanged");
    return false;
}

registration::Alignment ASCRegistration::estimate(const CollectionCorrespondences& correspondences) const
{
    const Method method = p_registrationMethod.value();
    switch (method) {
    case Method::PointsAndPlanes:
        return registration::rigidFromPointsAndPlanes(correspondences.movingPoints, correspondences.fixedPoints,
                                                      correspondences.movingPlanes, correspondences.fixedPlanes,
                                                      p_planeWeight.value());
    case Method::PointsRigidScaling:
        return registration::similarityFromPoints(correspondences.movingPoints, correspondences.fixedPoints);
    case Method::DeformableMeshRegistration:
    case Method::RigidImages:
        return {Mat4::Identity(), fmt::format("Registration method {} is not available in this version", methodName(method))};
    }
    return {Mat4::Identity(), fmt::format("Unknown registration method {}", p_registrationMethod.rawValue())};
}

void ASCRegistration::recordResults(const CollectionCorrespondences& correspondences, const Mat4& transformation)
{
    const bool planesUsed = p_registrationMethod.value() == Method::PointsAndPlanes && p_planeWeight.value() > 0.0;
    const int pointPairs = static_cast<int>(correspondences.movingPoints.cols());
    const int planePairs = planesUsed ? static_cast<int>(correspondences.movingPlanes.cols()) : 0;
    Properties& results = mutableResults();
    results.setParam("transformation", transformation);
    results.setParam("correspondences", pointPairs + planePairs);
    results.setParam("point_pairs", pointPairs);
    results.setParam("plane_pairs", planePairs);
    results.setParam("scale", std::cbrt(transformation.topLeftCorner<3, 3>().determinant()));
    results.setParam("rms_before",
                     registration::rootMeanSquareDistance(correspondences.movingPoints, correspondences.fixedPoints));
    results.setParam("rms_after", registration::rootMeanSquareDistance(correspondences.movingPoints,
                                                                      correspondences.fixedPoints, transformation));
}

void ASCRegistration::compute()
{
    mutableResults() = Properties("results");
    setStatus(Unknown);
    if (!goOn(0.0, "Gathering correspondences"))
        return;
    const CollectionCorrespondences correspondences = CollectionCorrespondences::gather(m_fixed, m_moving);
    const bool pointMethod = p_registrationMethod.value() == Method::PointsAndPlanes ||
                             p_registrationMethod.value() == Method::PointsRigidScaling;
    if (pointMethod && correspondences.movingPoints.cols() == 0 && correspondences.movingPlanes.cols() == 0) {
        setStatus(IncompleteInput,
                  "No correspondences: the collections share no keypoint or plane under the same key in structures "
                  "of the same identifier");
        return;
    }

    if (!goOn(0.3, "Estimating the transformation"))
        return;
    const registration::Alignment alignment = estimate(correspondences);
    if (!alignment.succeeded()) {
        setStatus(InvalidInput, alignment.failure);
        return;
    }

    // The last chance to stop: from here on the moving collection changes as a whole.
    if (!goOn(0.6, "Moving the collection"))
        return;
    std::string failure;
    std::optional<CollectionMove> move = CollectionMove::plan(m_moving, alignment.transformation, failure);
    if (!move) {
        setStatus(InvalidInput, failure);
        return;
    }
    move->apply();
    recordResults(correspondences, alignment.transformation);
    setStatus(Success);
}

}  // namespace corvaxis
