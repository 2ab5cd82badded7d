#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include "corvaxis/anatomy/algorithms/CollectionMove.h"
#include "corvaxis/core/registration/RigidAlignment.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

// The deformable method of ASCRegistration: all mesh pairs as one surface on each side.

namespace corvaxis {

namespace {

/// The paired meshes, copied as one surface per side in world coordinates, with where each
/// moving mesh starts. Taken before any progress report, so that the registration works on its
/// own copy whatever a progress callback does to the collections.
struct Surfaces {
    struct Part {
        std::string identifier;
        std::string key;
        Eigen::Index firstVertex;
        Eigen::Index vertices;
        Eigen::Index firstFace;
        Eigen::Index faces;
    };
    std::vector<Part> movingParts;
    Points moving, fixed;
    Triangles movingTriangles, fixedTriangles;
};

Points worldVertices(const Mesh& mesh) { return registration::transformPoints(mesh.matrix(), mesh.vertices()); }

/// Vertex and face counts of the moving and the fixed sides.
struct SurfaceSizes {
    Eigen::Index movingVertices = 0, fixedVertices = 0, movingFaces = 0, fixedFaces = 0;
};

SurfaceSizes sizesOf(const std::vector<ObjectPair<Mesh>>& pairs)
{
    SurfaceSizes sizes;
    for (const auto& pair : pairs) {
        sizes.movingVertices += pair.moving->numVertices();
        sizes.fixedVertices += pair.fixed->numVertices();
        sizes.movingFaces += pair.moving->numFaces();
        sizes.fixedFaces += pair.fixed->numFaces();
    }
    return sizes;
}

/// Room for copies of the pairs, not yet written.
Surfaces roomFor(const std::vector<ObjectPair<Mesh>>& pairs)
{
    const SurfaceSizes sizes = sizesOf(pairs);
    return {{}, Points(sizes.movingVertices, 3), Points(sizes.fixedVertices, 3), Triangles(sizes.movingFaces, 3),
            Triangles(sizes.fixedFaces, 3)};
}

/// Writes every byte of the room once, reporting progress between slices; false when the caller
/// asked to stop. The first touch of fresh memory is most of what copying the meshes costs (a third
/// of a second at a million vertices), and the collections themselves cannot be read while a
/// progress callback may change them; this memory is ours alone.
bool touchWhileReporting(Algorithm::Run& run, Surfaces& surfaces)
{
    constexpr std::size_t sliceBytes = std::size_t{1} << 20;
    constexpr auto reportEvery = std::chrono::milliseconds(50);
    auto lastReport = std::chrono::steady_clock::now();
    const std::pair<void*, std::size_t> blocks[] = {
        {surfaces.moving.data(), sizeof(double) * static_cast<std::size_t>(surfaces.moving.size())},
        {surfaces.fixed.data(), sizeof(double) * static_cast<std::size_t>(surfaces.fixed.size())},
        {surfaces.movingTriangles.data(), sizeof(int) * static_cast<std::size_t>(surfaces.movingTriangles.size())},
        {surfaces.fixedTriangles.data(), sizeof(int) * static_cast<std::size_t>(surfaces.fixedTriangles.size())},
    };
    for (const auto& [data, bytes] : blocks) {
        for (std::size_t offset = 0; offset < bytes; offset += sliceBytes) {
            std::memset(static_cast<char*>(data) + offset, 0, std::min(sliceBytes, bytes - offset));
            if (std::chrono::steady_clock::now() - lastReport >= reportEvery) {
                if (!run.proceed(0.0, "Gathering correspondences"))
                    return false;
                lastReport = std::chrono::steady_clock::now();
            }
        }
    }
    return true;
}

/// Copies the paired meshes into `surfaces` as one surface per side in world coordinates, with
/// where each moving mesh starts; room of the right size is used as it is. No progress report may
/// come between finding the pairs and this copy, so that the registration works on its own copy
/// whatever a progress callback does to the collections.
void copySurfaces(const std::vector<ObjectPair<Mesh>>& pairs, Surfaces& surfaces)
{
    const SurfaceSizes sizes = sizesOf(pairs);
    surfaces.moving.resize(sizes.movingVertices, 3);
    surfaces.fixed.resize(sizes.fixedVertices, 3);
    surfaces.movingTriangles.resize(sizes.movingFaces, 3);
    surfaces.fixedTriangles.resize(sizes.fixedFaces, 3);
    surfaces.movingParts.clear();
    Eigen::Index movingRow = 0, fixedRow = 0, movingFace = 0, fixedFace = 0;
    const auto append = [](const Mesh& mesh, Points& vertices, Triangles& faces, Eigen::Index& row, Eigen::Index& face) {
        // Straight into place, without a temporary copy.
        const Mat4 matrix = mesh.matrix();
        auto world = vertices.middleRows(row, mesh.numVertices());
        world.noalias() = mesh.vertices() * matrix.topLeftCorner<3, 3>().transpose();
        world.rowwise() += matrix.topRightCorner<3, 1>().transpose();
        faces.middleRows(face, mesh.numFaces()) = (mesh.faces().array() + static_cast<int>(row)).matrix();
        row += mesh.numVertices();
        face += mesh.numFaces();
    };
    for (const auto& pair : pairs) {
        surfaces.movingParts.push_back(
            {pair.identifier, pair.key, movingRow, pair.moving->numVertices(), movingFace, pair.moving->numFaces()});
        append(*pair.moving, surfaces.moving, surfaces.movingTriangles, movingRow, movingFace);
        append(*pair.fixed, surfaces.fixed, surfaces.fixedTriangles, fixedRow, fixedFace);
    }
}

/// The moving mesh that was registered as `part`, found again in the collection as it is now;
/// null when it is gone or is no longer the mesh that was copied (other vertices or faces).
Mesh* registeredMesh(AnatomicalStructureCollection& moving, const Surfaces& surfaces, const Surfaces::Part& part)
{
    AnatomicalStructure* structure = moving.anatomicalStructureByIdentifier(part.identifier);
    if (!structure || !structure->meshes.has(part.key))
        return nullptr;
    Mesh* mesh = structure->meshes[part.key].value().get();
    if (!mesh || mesh->numVertices() != part.vertices || mesh->numFaces() != part.faces)
        return nullptr;
    const bool sameFaces = ((mesh->faces().array() + static_cast<int>(part.firstVertex)).matrix() ==
                            surfaces.movingTriangles.middleRows(part.firstFace, part.faces));
    if (!sameFaces || worldVertices(*mesh) != surfaces.moving.middleRows(part.firstVertex, part.vertices))
        return nullptr;
    return mesh;
}

/// Root mean square distance of points (rows) from their centroid.
double spreadOf(const Points& points)
{
    // The centroid held in a vector: left as an expression, it would be summed again for every row.
    const Eigen::RowVector3d centroid = points.colwise().mean();
    return std::sqrt((points.rowwise() - centroid).rowwise().squaredNorm().mean());
}

/// Why a deformable result means nothing: the moving surface squeezed towards a point (or blown
/// up), which the fit to a degenerate fixed surface (a flat one, say) can end in.
std::optional<std::string> collapse(const registration::DeformableRegistrationResult& result, const Surfaces& surfaces)
{
    const double scale = std::cbrt(result.transformation.topLeftCorner<3, 3>().determinant());
    if (!std::isfinite(scale) || scale < ASCRegistration::smallestScale || scale > 1.0 / ASCRegistration::smallestScale)
        return fmt::format("The deformable registration collapsed the moving meshes: the similarity it found has the "
                           "scale {:.3g}; the fixed meshes may be flat or far too small to register onto",
                           scale);
    const double fixedSpread = spreadOf(surfaces.fixed);
    const double deformedSpread = result.deformedVertices.allFinite() ? spreadOf(result.deformedVertices) : 0.0;
    if (!(deformedSpread >= ASCRegistration::smallestScale * fixedSpread))
        return fmt::format("The deformable registration collapsed the moving meshes to a spread of {:.3g} against "
                           "{:.3g} of the fixed ones",
                           deformedSpread, fixedSpread);
    return std::nullopt;
}

}  // namespace

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

void ASCRegistration::registerMeshes(Run& run, const CollectionCorrespondences& correspondences)
{
    // Every pair is registered at once, as one surface on each side: one rigid or similarity part
    // and one smooth deformation for the whole collection, which its keypoints follow as well.
    Surfaces surfaces = roomFor(meshPairs(m_fixed, m_moving));
    if (!touchWhileReporting(run, surfaces))
        return;
    // Found again: a progress callback may have changed the collections meanwhile.
    const std::vector<ObjectPair<Mesh>> pairs = meshPairs(m_fixed, m_moving);
    if (pairs.empty())
        return run.fail(IncompleteInput, "No meshes in common: the collections share no mesh under the same key in "
                                         "structures of the same identifier");
    copySurfaces(pairs, surfaces);
    if (!run.proceed(0.05, "Estimating the transformation"))
        return;

    const std::optional<Mat4> initial = initialFromKeypoints(correspondences);
    registration::DeformableRegistrationOptions options;
    options.kernelWidth = p_kernelWidth.value();
    options.smoothness = p_smoothness.value();
    options.outlierWeight = p_outlierWeight.value();
    options.kernelRank = p_kernelRank.value();
    options.maxIterations = p_deformableIterations.value();
    options.tolerance = p_deformableTolerance.value();
    options.withScaling = p_deformableScaling.value();
    const registration::DeformableRegistrationResult result =
        registration::registerSurfacesDeformably(surfaces.moving, surfaces.movingTriangles, surfaces.fixed,
                                                 surfaces.fixedTriangles, initial, options, run.part(0.1, 0.9));
    if (!run.took(result))
        return;
    if (const std::optional<std::string> reason = collapse(result, surfaces))
        return run.fail(InvalidInput, *reason);

    if (!run.proceed(0.9, "Moving the collection"))
        return;
    // No progress report from here on: the meshes found now stay what they are until applied.
    const auto deformPoint = [&result](const Vec3& point) -> Vec3 {
        return result.deform(Points(point.transpose())).row(0).transpose();
    };
    std::optional<CollectionMove> move = planMove(run, result.transformation, deformPoint);
    if (!move)
        return;
    for (const Surfaces::Part& part : surfaces.movingParts) {
        Mesh* mesh = registeredMesh(m_moving, surfaces, part);
        if (!mesh)
            return run.fail(InvalidInput, fmt::format("Mesh '{}' of structure '{}' changed while it was being registered "
                                                      "(it is gone or was replaced); nothing was moved",
                                                      part.key, part.identifier));
        // The rigid part reaches the mesh through its matrix; its own vertices take the rest.
        const Mat4 toMesh = (result.transformation * mesh->matrix()).inverse();
        std::string failure;
        if (!move->replaceVertices(
                *mesh,
                registration::transformPoints(toMesh, result.deformedVertices.middleRows(part.firstVertex, part.vertices)),
                failure))
            return run.fail(InvalidInput, fmt::format("Mesh '{}' of structure '{}': {}", part.key, part.identifier, failure));
    }
    move->apply();

    const registration::Points moved = result.deform(Points(correspondences.movingPoints.transpose())).transpose();
    recordResults(correspondences, result.transformation, moved,
                  static_cast<int>(pairs.size()) + (initial ? static_cast<int>(correspondences.movingPoints.cols()) : 0), 0);
    recordMeshFigures(result, static_cast<int>(pairs.size()), surfaces.moving.rows(), initial.has_value());
    run.succeed();
}

}  // namespace corvaxis
