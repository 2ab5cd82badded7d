#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include "corvaxis/anatomy/algorithms/CollectionMove.h"
#include "corvaxis/core/registration/RigidAlignment.h"

#include <Eigen/Geometry>

#include <fmt/format.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace corvaxis {

namespace {

using Method = ASCRegistration::RegistrationMethod;

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

/// Columns of points moved by a transformation.
registration::Points moved(const Mat4& transformation, const registration::Points& points)
{
    return (transformation.topLeftCorner<3, 3>() * points).colwise() + transformation.topRightCorner<3, 1>();
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
        break;
    }
    return {Mat4::Identity(), fmt::format("Unknown registration method {}", p_registrationMethod.rawValue())};
}

Algorithm::ProgressCallback ASCRegistration::progressBetween(double from, double to) const
{
    return [this, from, to](double fraction, const std::string& step) {
        return reportProgress(from + (to - from) * fraction, step);
    };
}

void ASCRegistration::failWith(int status, const std::string& message)
{
    if (status == Cancelled)
        setStatus(Cancelled, "Registration cancelled; the moving collection is unchanged");
    else
        setStatus(status, message);
}

std::optional<CollectionMove> ASCRegistration::planMove(const Mat4& transformation,
                                                        const CollectionMove::PointMap& moveKeypoint)
{
    std::string failure;
    std::optional<CollectionMove> move = CollectionMove::plan(m_moving, transformation, failure, moveKeypoint);
    if (!move)
        setStatus(InvalidInput, failure);
    return move;
}

void ASCRegistration::recordResults(const CollectionCorrespondences& correspondences, const Mat4& transformation,
                                    const registration::Points& movedPoints, int pairsUsed, int planePairs)
{
    Properties& results = mutableResults();
    results.setParam("transformation", transformation);
    results.setParam("correspondences", pairsUsed);
    results.setParam("point_pairs", static_cast<int>(correspondences.movingPoints.cols()));
    results.setParam("plane_pairs", planePairs);
    results.setParam("scale", std::cbrt(transformation.topLeftCorner<3, 3>().determinant()));
    results.setParam("rms_before",
                     registration::rootMeanSquareDistance(correspondences.movingPoints, correspondences.fixedPoints));
    results.setParam("rms_after", registration::rootMeanSquareDistance(movedPoints, correspondences.fixedPoints));
}

void ASCRegistration::recordMeshFigures(const registration::DeformableRegistrationResult& result, int meshPairs,
                                        Eigen::Index vertices, bool fromKeypoints)
{
    Properties& results = mutableResults();
    results.setParam("mesh_pairs", meshPairs);
    results.setParam("vertices", static_cast<int>(vertices));
    results.setParam("mean_distance", result.meanDistance);
    results.setParam("max_distance", result.maxDistance);
    results.setParam("flipped_faces", result.flippedFaces);
    results.setParam("iterations", result.iterations);
    results.setParam("variance", result.variance);
    results.setParam("initial_alignment", std::string(fromKeypoints ? "keypoints" : "meshes"));
}

void ASCRegistration::recordImageFigures(const registration::RigidImageRegistrationResult& result, int imagePairs)
{
    Properties& results = mutableResults();
    results.setParam("image_pairs", imagePairs);
    results.setParam("metric_value", result.metricValue);
    results.setParam("iterations", result.iterations);
}

void ASCRegistration::compute()
{
    mutableResults() = Properties("results");
    setStatus(Unknown);
    if (!goOn(0.0, "Gathering correspondences"))
        return;
    const CollectionCorrespondences correspondences = CollectionCorrespondences::gather(m_fixed, m_moving);
    switch (p_registrationMethod.value()) {
    case Method::DeformableMeshRegistration:
        registerMeshes(correspondences);
        return;
    case Method::RigidImages:
        registerImages(correspondences);
        return;
    case Method::PointsAndPlanes:
    case Method::PointsRigidScaling:
        break;
    }
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
    std::optional<CollectionMove> move = planMove(alignment.transformation);
    if (!move)
        return;
    move->apply();
    const bool planesUsed = p_registrationMethod.value() == Method::PointsAndPlanes && p_planeWeight.value() > 0.0;
    const int pointPairs = static_cast<int>(correspondences.movingPoints.cols());
    const int planePairs = planesUsed ? static_cast<int>(correspondences.movingPlanes.cols()) : 0;
    recordResults(correspondences, alignment.transformation, moved(alignment.transformation, correspondences.movingPoints),
                  pointPairs + planePairs, planePairs);
    setStatus(Success);
}

std::optional<Mat4> ASCRegistration::initialFromKeypoints(const CollectionCorrespondences& correspondences) const
{
    if (correspondences.movingPoints.cols() < 3)
        return std::nullopt;
    const registration::Alignment alignment =
        p_deformableScaling.value()
            ? registration::similarityFromPoints(correspondences.movingPoints, correspondences.fixedPoints)
            : registration::rigidFromPointsAndPlanes(correspondences.movingPoints, correspondences.fixedPoints,
                                                     registration::Planes(4, 0), registration::Planes(4, 0), 0.0);
    // Keypoints on a line or in one place determine no start; the meshes still do.
    if (!alignment.succeeded())
        return std::nullopt;
    return alignment.transformation;
}

void ASCRegistration::registerMeshes(const CollectionCorrespondences& correspondences)
{
    const std::vector<ObjectPair<Mesh>> pairs = meshPairs(m_fixed, m_moving);
    if (pairs.empty()) {
        setStatus(IncompleteInput, "No meshes in common: the collections share no mesh under the same key in structures "
                                   "of the same identifier");
        return;
    }
    if (!goOn(0.05, "Estimating the transformation"))
        return;

    // Every pair is registered at once, as one surface on each side: one rigid or similarity part
    // and one smooth deformation for the whole collection, which its keypoints follow as well.
    Eigen::Index movingVertices = 0, fixedVertices = 0, movingFaces = 0, fixedFaces = 0;
    for (const auto& pair : pairs) {
        movingVertices += pair.moving->numVertices();
        fixedVertices += pair.fixed->numVertices();
        movingFaces += pair.moving->numFaces();
        fixedFaces += pair.fixed->numFaces();
    }
    Points moving(movingVertices, 3), fixed(fixedVertices, 3);
    Triangles movingTriangles(movingFaces, 3), fixedTriangles(fixedFaces, 3);
    std::vector<Eigen::Index> firstVertex;
    Eigen::Index movingRow = 0, fixedRow = 0, movingFace = 0, fixedFace = 0;
    for (const auto& pair : pairs) {
        firstVertex.push_back(movingRow);
        const auto append = [](const Mesh& mesh, Points& vertices, Triangles& faces, Eigen::Index& row, Eigen::Index& face) {
            vertices.middleRows(row, mesh.numVertices()) = registration::transformPoints(mesh.matrix(), mesh.vertices());
            faces.middleRows(face, mesh.numFaces()) = (mesh.faces().array() + static_cast<int>(row)).matrix();
            row += mesh.numVertices();
            face += mesh.numFaces();
        };
        append(*pair.moving, moving, movingTriangles, movingRow, movingFace);
        append(*pair.fixed, fixed, fixedTriangles, fixedRow, fixedFace);
    }

    const std::optional<Mat4> initial = initialFromKeypoints(correspondences);
    registration::DeformableRegistrationOptions options;
    options.kernelWidth = p_kernelWidth.value();
    options.smoothness = p_smoothness.value();
    options.outlierWeight = p_outlierWeight.value();
    options.kernelRank = p_kernelRank.value();
    options.maxIterations = p_deformableIterations.value();
    options.tolerance = p_deformableTolerance.value();
    options.withScaling = p_deformableScaling.value();
    const registration::DeformableRegistrationResult result = registration::registerSurfacesDeformably(
        moving, movingTriangles, fixed, fixedTriangles, initial, options, progressBetween(0.1, 0.9));
    if (result.status != Success) {
        failWith(result.status, result.message);
        return;
    }

    if (!goOn(0.9, "Moving the collection"))
        return;
    const auto deformPoint = [&result](const Vec3& point) -> Vec3 {
        return result.deform(Points(point.transpose())).row(0).transpose();
    };
    std::optional<CollectionMove> move = planMove(result.transformation, deformPoint);
    if (!move)
        return;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        Mesh& mesh = *pairs[i].moving;
        // The rigid part reaches the mesh through its matrix; its own vertices take the rest.
        const Mat4 toMesh = (result.transformation * mesh.matrix()).inverse();
        std::string failure;
        if (!move->replaceVertices(mesh,
                                   registration::transformPoints(
                                       toMesh, result.deformedVertices.middleRows(firstVertex[i], mesh.numVertices())),
                                   failure)) {
            setStatus(InvalidInput, fmt::format("Mesh '{}' of structure '{}': {}", pairs[i].key, pairs[i].identifier,
                                                failure));
            return;
        }
    }
    move->apply();

    const registration::Points movedPoints =
        result.deform(Points(correspondences.movingPoints.transpose())).transpose();
    recordResults(correspondences, result.transformation, movedPoints,
                  static_cast<int>(pairs.size()) + (initial ? static_cast<int>(correspondences.movingPoints.cols()) : 0), 0);
    recordMeshFigures(result, static_cast<int>(pairs.size()), movingVertices, initial.has_value());
    setStatus(Success);
}

void ASCRegistration::registerImages(const CollectionCorrespondences& correspondences)
{
    const SharedImageSet* fixedImages = m_fixedImages;
    const SharedImageSet* movingImages = m_movingImages;
    int pairsFound = 1;
    if (!fixedImages && !movingImages) {
        const std::vector<ObjectPair<SharedImageSet>> pairs = imagePairs(m_fixed, m_moving);
        if (pairs.empty()) {
            setStatus(IncompleteInput, "No images in common: the collections share no image under the same key in "
                                       "structures of the same identifier");
            return;
        }
        fixedImages = pairs.front().fixed;
        movingImages = pairs.front().moving;
        pairsFound = static_cast<int>(pairs.size());
    } else if (!fixedImages || !movingImages || !fixedImages->get() || !movingImages->get()) {
        setStatus(InvalidInput, "Image registration needs both image sets given to the registration, each holding an image");
        return;
    }
    if (!goOn(0.05, "Estimating the transformation"))
        return;

    registration::RigidImageRegistrationOptions options;
    options.metric = p_imageMetric.value();
    options.levels = p_imageLevels.value();
    options.histogramBins = p_histogramBins.value();
    options.samples = p_imageSamples.value();
    // Voxels are placed as everywhere else: the set's matrix, the image's matrix, the spacing.
    const registration::RigidImageRegistrationResult result = registration::registerImagesRigidly(
        *fixedImages->get(), fixedImages->voxelToWorld(), *movingImages->get(), movingImages->voxelToWorld(), options,
        progressBetween(0.1, 0.9));
    if (result.status != Success) {
        failWith(result.status, result.message);
        return;
    }

    if (!goOn(0.9, "Moving the collection"))
        return;
    std::optional<CollectionMove> move = planMove(result.transformation);
    if (!move)
        return;
    move->apply();
    recordResults(correspondences, result.transformation, moved(result.transformation, correspondences.movingPoints), 1, 0);
    recordImageFigures(result, pairsFound);
    setStatus(Success);
}

}  // namespace corvaxis
