#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include <set>
#include <string>
#include <vector>

// What the two collections of a registration have in common: point and plane pairs, and mesh and
// image pairs, found by structure identifier and key.

namespace corvaxis {

namespace {

/// Calls visit(fixedEntry, movingEntry) for every key both stores hold. Both iterate in key order,
/// so one pass over the two matches them without a lookup per key.
template <typename T, typename Visit>
void forCommonKeys(const KeyValueStore<T>& fixed, const KeyValueStore<T>& moving, Visit&& visit)
{
    auto fixedEntry = fixed.begin();
    for (auto movingEntry = moving.begin(); movingEntry != moving.end() && fixedEntry != fixed.end(); ++movingEntry) {
        while (fixedEntry != fixed.end() && fixedEntry->first < movingEntry->first)
            ++fixedEntry;
        if (fixedEntry == fixed.end() || fixedEntry->first != movingEntry->first)
            continue;
        if (KeyValueStore<T>::isValid(fixedEntry->second.value()) && KeyValueStore<T>::isValid(movingEntry->second.value()))
            visit(fixedEntry->first, fixedEntry->second, movingEntry->second);
    }
}

/// Calls visit(fixedStructure, movingStructure) for every identifier both collections hold.
/// Identifiers should be unique; where they are not, the first structure counts, as in lookups.
template <typename MovingCollection, typename Visit>
void forCommonStructures(const AnatomicalStructureCollection& fixed, MovingCollection& moving, Visit&& visit)
{
    std::set<std::string> seen;
    for (int index = 0; index < moving.numAnatomicalStructures(); ++index) {
        auto& movingStructure = *moving.anatomicalStructure(index);
        const std::string identifier = movingStructure.identifier();
        if (!seen.insert(identifier).second)
            continue;
        if (const AnatomicalStructure* fixedStructure = fixed.anatomicalStructureByIdentifier(identifier))
            visit(*fixedStructure, movingStructure);
    }
}

template <typename T>
void pairValues(const KeyValueStore<T>& fixed, const KeyValueStore<T>& moving, std::vector<T>& fixedValues,
                std::vector<T>& movingValues)
{
    forCommonKeys(fixed, moving, [&](const std::string&, const auto& fixedEntry, const auto& movingEntry) {
        fixedValues.push_back(fixedEntry.value());
        movingValues.push_back(movingEntry.value());
    });
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

}  // namespace

CollectionCorrespondences CollectionCorrespondences::gather(const AnatomicalStructureCollection& fixed,
                                                            const AnatomicalStructureCollection& moving)
{
    std::vector<Vec3> fixedPoints, movingPoints;
    std::vector<Vec4> fixedPlanes, movingPlanes;
    forCommonStructures(fixed, moving, [&](const AnatomicalStructure& fixedStructure, const AnatomicalStructure& movingStructure) {
        pairValues(fixedStructure.keypoints, movingStructure.keypoints, fixedPoints, movingPoints);
        pairValues(fixedStructure.planes, movingStructure.planes, fixedPlanes, movingPlanes);
    });
    CollectionCorrespondences correspondences;
    correspondences.fixedPoints = columns<registration::Points>(fixedPoints);
    correspondences.movingPoints = columns<registration::Points>(movingPoints);
    correspondences.fixedPlanes = columns<registration::Planes>(fixedPlanes);
    correspondences.movingPlanes = columns<registration::Planes>(movingPlanes);
    normalisePlanes(correspondences.fixedPlanes);
    normalisePlanes(correspondences.movingPlanes);
    return correspondences;
}

namespace {

template <typename T>
std::vector<ObjectPair<T>> objectPairs(const AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving,
                                       KeyValueStore<T> AnatomicalStructure::* store)
{
    std::vector<ObjectPair<T>> pairs;
    forCommonStructures(fixed, moving, [&](const AnatomicalStructure& fixedStructure, AnatomicalStructure& movingStructure) {
        forCommonKeys(fixedStructure.*store, movingStructure.*store,
                      [&](const std::string& key, const auto& fixedEntry, const auto& movingEntry) {
                          pairs.push_back({movingStructure.identifier(), key, fixedEntry.value().get(),
                                           movingEntry.value().get()});
                      });
    });
    return pairs;
}

}  // namespace

std::vector<ObjectPair<Mesh>> meshPairs(const AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving)
{
    return objectPairs(fixed, moving, &AnatomicalStructure::meshes);
}

std::vector<ObjectPair<SharedImageSet>> imagePairs(const AnatomicalStructureCollection& fixed,
                                                   AnatomicalStructureCollection& moving)
{
    std::vector<ObjectPair<SharedImageSet>> pairs = objectPairs(fixed, moving, &AnatomicalStructure::images);
    std::erase_if(pairs, [](const auto& pair) { return !pair.fixed->get() || !pair.moving->get(); });
    return pairs;
}

}  // namespace corvaxis
