#include "corvaxis/core/registration/DeformableRegistration.h"

#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/registration/RigidAlignment.h"
#include "corvaxis/core/registration/SurfaceDistance.h"

#include "CoherentPointDrift.h"
#include "Parallel.h"
#include "ReportingWork.h"

#include <fmt/format.h>

#include <cmath>
#include <memory>
#include <optional>

namespace corvaxis::registration {

namespace {

// Larger sets are aligned and spread kernel centres over through every k-th point: plenty for a
// rigid or similarity part and for where the centres go, at a bounded cost.
constexpr Eigen::Index alignmentPoints = 20000;
constexpr Eigen::Index centreCandidates = 20000;
// Rows per chunk of the quality figures.
constexpr long distancesPerChunk = 1024;

std::string validate(const Points& vertices, const Triangles& faces, const char* side)
{
    if (vertices.rows() < 3 || faces.rows() == 0)
        return fmt::format("The {} surface has fewer than three vertices or no face", side);
    if (!vertices.allFinite())
        return fmt::format("The {} surface has a vertex that is not finite", side);
    if (faces.minCoeff() < 0 || faces.maxCoeff() >= vertices.rows())
        return fmt::format("A face of the {} surface refers to a vertex that does not exist", side);
    return {};
}

std::string validate(const DeformableRegistrationOptions& o)
{
    if (!(o.kernelWidth > 0.0) || !(o.smoothness > 0.0) || !(o.outlierWeight >= 0.0 && o.outlierWeight < 1.0) ||
        o.maxIterations < 0 || !(o.tolerance >= 0.0) || o.kernelRank < 1)
        return "Deformable registration options out of range: kernel width and smoothness must be positive, the "
               "outlier weight in [0, 1), iterations and tolerance non-negative, the kernel rank at least 1";
    return {};
}

int countFlippedFaces(const Points& before, const Points& after, const Triangles& faces)
{
    const Points a = faceNormals(before, faces), b = faceNormals(after, faces);
    return static_cast<int>((a.cwiseProduct(b).rowwise().sum().array() < 0.0).count());
}

/// Distance of every point to the surface, on worker threads; false when the heartbeat asked to stop.
bool surfaceDistances(const Points& vertices, const Triangles& faces, const Points& points, int threads,
                      const ProgressSpan& progress, Eigen::VectorXd& distances)
{
    std::unique_ptr<SurfaceDistance> surface;
    if (!runWhileReporting(progress.part(0.0, 0.2), [&] { surface = std::make_unique<SurfaceDistance>(vertices, faces); }))
        return false;
    distances.resize(points.rows());
    const int chunks = chunksFor(points.rows(), distancesPerChunk);
    return runChunks(chunks, threads, progress.part(0.2, 1.0), [&](int chunk) {
        const auto [begin, end] = chunkRange(points.rows(), chunks, chunk);
        distances.segment(begin, end - begin) = surface->distances(points.middleRows(begin, end - begin));
    });
}

}  // namespace

DeformationField::DeformationField(Points centres, Points coefficients, double width)
    : m_centres(std::move(centres)), m_coefficients(std::move(coefficients)), m_width(width)
{
    if (m_centres.rows() != m_coefficients.rows() || !(m_width > 0.0))
        throw std::invalid_argument("A deformation field needs one coefficient per centre and a positive width");
}

Points DeformationField::displacements(const Points& points) const
{
    return Points(gaussianKernel(points, m_centres, m_width) * m_coefficients);
}

Points DeformableRegistrationResult::deform(const Points& movingWorldPoints) const
{
    const Points aligned = transformPoints(transformation, movingWorldPoints);
    return aligned + field.displacements(aligned);
}

DeformableRegistrationResult registerSurfacesDeformably(const Points& movingVertices, const Triangles& movingFaces,
                                                        const Points& fixedVertices, const Triangles& fixedFaces,
                                                        const std::optional<Mat4>& initialTransformation,
                                                        const DeformableRegistrationOptions& options,
                                                        const Algorithm::ProgressCallback& progress)
{
    DeformableRegistrationResult result;
    for (const std::string& problem : {validate(movingVertices, movingFaces, "moving"),
                                       validate(fixedVertices, fixedFaces, "fixed"), validate(options)}) {
        if (!problem.empty()) {
            result.status = Algorithm::InvalidInput;
            result.message = problem;
            return result;
        }
    }
    if (initialTransformation && !initialTransformation->allFinite()) {
        result.status = Algorithm::InvalidInput;
        result.message = "The initial transformation is not finite";
        return result;
    }
    Heartbeat heartbeat(progress);
    const auto cancelled = [&] {
        result = {};
        result.status = Algorithm::Cancelled;
        result.message = std::string(Algorithm::cancelledMessage);
        return result;
    };

    // Initial alignment.
    if (!heartbeat.beat(0.0, "Initial alignment", true))
        return cancelled();
    if (initialTransformation) {
        result.transformation = *initialTransformation;
    } else if (!runWhileReporting({heartbeat, "Initial alignment", 0.0, 0.05}, [&] {
                   result.transformation = alignByMomentsAndIcp(everyKth(movingVertices, alignmentPoints),
                                                                everyKth(fixedVertices, alignmentPoints),
                                                                options.withScaling, [&] { return !heartbeat.stopped(); }, options.threads)
                                               .transformation;
               })) {
        return cancelled();
    }
    // Work in a frame where the fixed surface has unit root mean square radius. At a million
    // vertices these copies take a good part of a second, so they run while progress is reported.
    Points aligned, x, y;
    Vec3 centre = Vec3::Zero();
    double scale = 0.0;
    std::optional<KernelBasis> basis;
    if (!runWhileReporting({heartbeat, "Non-rigid deformation", 0.05, 0.05}, [&] {
            aligned = transformPoints(result.transformation, movingVertices);
            centre = fixedVertices.colwise().mean().transpose();
            scale = std::sqrt((fixedVertices.rowwise() - centre.transpose()).rowwise().squaredNorm().mean());
            if (!(scale > 0.0))
                return;
            x = (fixedVertices.rowwise() - centre.transpose()) / scale;
            y = (aligned.rowwise() - centre.transpose()) / scale;
            basis.emplace(everyKth(y, centreCandidates), options.kernelRank, options.kernelWidth);
        }))
        return cancelled();
    if (!(scale > 0.0)) {
        result.status = Algorithm::InvalidInput;
        result.message = "The fixed surface has no extent";
        return result;
    }

    // Non-rigid deformation.
    DriftOutcome drift;
    if (!coherentPointDrift(x, y, *basis, options, {heartbeat, "Non-rigid deformation", 0.05, 0.95}, drift))
        return cancelled();

    // Quality figures.
    if (!heartbeat.beat(0.95, "Quality figures", true))
        return cancelled();
    result.iterations = drift.iterations;
    result.variance = drift.variance * scale * scale;
    result.deformedVertices = (drift.moved * scale).rowwise() + centre.transpose();
    result.field = DeformationField((basis->centres() * scale).rowwise() + centre.transpose(),
                                    Points(basis->coefficients(drift.beta) * scale), options.kernelWidth * scale);
    Eigen::VectorXd distances;
    if (!surfaceDistances(fixedVertices, fixedFaces, result.deformedVertices, options.threads,
                          {heartbeat, "Quality figures", 0.95, 0.99}, distances) ||
        !runWhileReporting({heartbeat, "Quality figures", 0.99, 1.0}, [&] {
            result.flippedFaces = countFlippedFaces(aligned, result.deformedVertices, movingFaces);
        }))
        return cancelled();
    result.meanDistance = distances.mean();
    result.maxDistance = distances.maxCoeff();
    result.status = Algorithm::Success;
    return result;
}

DeformableRegistrationResult registerMeshesDeformably(const Mesh& moving, const Mesh& fixed,
                                                      const std::optional<Mat4>& initialTransformation,
                                                      const DeformableRegistrationOptions& options,
                                                      const Algorithm::ProgressCallback& progress)
{
    return registerSurfacesDeformably(transformPoints(moving.matrix(), moving.vertices()), moving.faces(),
                                      transformPoints(fixed.matrix(), fixed.vertices()), fixed.faces(),
                                      initialTransformation, options, progress);
}

}  // namespace corvaxis::registration
