#include "corvaxis/core/registration/DeformableRegistration.h"

#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/registration/RigidAlignment.h"
#include "corvaxis/core/registration/SurfaceDistance.h"

#include "Parallel.h"
#include "PointTree.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>

#include <fmt/format.h>

#include <cmath>
#include <numbers>

namespace corvaxis::registration {

namespace {

// Mixture terms below exp(-truncation) of the largest possible term are left out of the
// correspondence step; they change no figure at double precision that matters here.
constexpr double truncation = 25.0;
// Fixed number of work chunks, so that sums are formed in the same order on any machine.
constexpr int correspondenceChunks = 16;

using Matrix = Eigen::MatrixXd;

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

double gaussian(double squaredDistance, double width) { return std::exp(-squaredDistance / (2.0 * width * width)); }

/// Indices of `count` rows spread over the set: each next one farthest from those taken.
std::vector<Eigen::Index> farthestPointSample(const Points& points, Eigen::Index count)
{
    std::vector<Eigen::Index> taken{0};
    Eigen::VectorXd distance = (points.rowwise() - points.row(0)).rowwise().squaredNorm();
    while (static_cast<Eigen::Index>(taken.size()) < count) {
        Eigen::Index next = 0;
        if (distance.maxCoeff(&next) <= 0.0)
            break;  // the remaining points coincide with taken ones
        taken.push_back(next);
        distance = distance.cwiseMin((points.rowwise() - points.row(next)).rowwise().squaredNorm());
    }
    return taken;
}

/// Low-rank factor of the Gaussian kernel matrix of the moving points (Nystroem approximation
/// through kernel centres): G ~ B B^T, and a displacement B B^T W equals the field with
/// coefficients `toCoefficients` B^T W evaluated at the points.
struct LowRankKernel {
    Points centres;
    Matrix factor;          // B: points x rank
    Matrix toCoefficients;  // centres x rank
};

LowRankKernel lowRankKernel(const Points& points, int rank, double width)
{
    LowRankKernel kernel;
    const std::vector<Eigen::Index> chosen = farthestPointSample(points, std::min<Eigen::Index>(rank, points.rows()));
    const auto k = static_cast<Eigen::Index>(chosen.size());
    kernel.centres.resize(k, 3);
    for (Eigen::Index i = 0; i < k; ++i)
        kernel.centres.row(i) = points.row(chosen[static_cast<std::size_t>(i)]);
    Matrix cross(points.rows(), k), centres(k, k);
    for (Eigen::Index j = 0; j < k; ++j) {
        for (Eigen::Index i = 0; i < points.rows(); ++i)
            cross(i, j) = gaussian((points.row(i) - kernel.centres.row(j)).squaredNorm(), width);
        for (Eigen::Index i = 0; i < k; ++i)
            centres(i, j) = gaussian((kernel.centres.row(i) - kernel.centres.row(j)).squaredNorm(), width);
    }
    const Eigen::SelfAdjointEigenSolver<Matrix> solver(centres);
    const double largest = solver.eigenvalues().maxCoeff();
    // A wide kernel makes the centres' matrix nearly singular; its negligible directions are dropped.
    std::vector<Eigen::Index> kept;
    for (Eigen::Index i = 0; i < k; ++i)
        if (solver.eigenvalues()[i] > 1e-10 * largest)
            kept.push_back(i);
    Matrix scaled(k, static_cast<Eigen::Index>(kept.size()));
    for (std::size_t c = 0; c < kept.size(); ++c)
        scaled.col(static_cast<Eigen::Index>(c)) =
            solver.eigenvectors().col(kept[c]) / std::sqrt(solver.eigenvalues()[kept[c]]);
    kernel.factor = cross * scaled;
    kernel.toCoefficients = scaled;
    return kernel;
}

/// Sums of the posterior correspondence probabilities: P1 (per moving point), Pt1 (per fixed
/// point), PX (P times the fixed points) and the log-likelihood term, without ever holding the
/// moving x fixed matrix.
struct Correspondences {
    Eigen::VectorXd p1;
    Eigen::VectorXd pt1;
    Points px;
    double sumLogDenominator = 0.0;
};

Correspondences correspondences(const Points& fixed, const Points& moved, double variance, double outlierWeight,
                                int threads)
{
    const Eigen::Index n = fixed.rows(), m = moved.rows();
    const double outlierTerm = outlierWeight <= 0.0 ? 0.0
                                                    : std::pow(2.0 * std::numbers::pi * variance, 1.5) * outlierWeight /
                                                          (1.0 - outlierWeight) * static_cast<double>(m) /
                                                          static_cast<double>(n);
    const double squaredRadius = 2.0 * variance * truncation;
    const Vec3 low = moved.colwise().minCoeff(), high = moved.colwise().maxCoeff();
    const bool everything = (high - low).squaredNorm() <= squaredRadius;
    std::optional<PointTree> tree;
    if (!everything)
        tree.emplace(moved);

    struct Partial {
        Eigen::VectorXd p1;
        Points px;
        double sumLog = 0.0;
    };
    std::vector<Partial> partials(correspondenceChunks);
    Correspondences result;
    result.pt1.resize(n);
    forEachChunk(correspondenceChunks, threads, [&](int chunk) {
        Partial& partial = partials[static_cast<std::size_t>(chunk)];
        partial.p1 = Eigen::VectorXd::Zero(m);
        partial.px = Points::Zero(m, 3);
        std::vector<PointTree::Neighbour> near;
        std::vector<double> weights;
        const auto [begin, end] = chunkRange(n, correspondenceChunks, chunk);
        for (Eigen::Index i = begin; i < end; ++i) {
            const Vec3 x = fixed.row(i);
            if (everything) {
                near.resize(static_cast<std::size_t>(m));
                for (Eigen::Index j = 0; j < m; ++j)
                    near[static_cast<std::size_t>(j)] = {j, (moved.row(j) - x.transpose()).squaredNorm()};
            } else {
                tree->within(x.data(), squaredRadius, near);
            }
            weights.resize(near.size());
            double denominator = outlierTerm;
            for (std::size_t k = 0; k < near.size(); ++k) {
                weights[k] = near[k].second < squaredRadius ? std::exp(-near[k].second / (2.0 * variance)) : 0.0;
                denominator += weights[k];
            }
            if (denominator <= 0.0) {
                // No moving point near enough: this fixed point acts as an outlier.
                result.pt1[i] = 0.0;
                continue;
            }
            partial.sumLog += std::log(denominator);
            result.pt1[i] = (denominator - outlierTerm) / denominator;
            for (std::size_t k = 0; k < near.size(); ++k) {
                const double p = weights[k] / denominator;
                partial.p1[near[k].first] += p;
                partial.px.row(near[k].first) += p * x.transpose();
            }
        }
    });
    result.p1 = Eigen::VectorXd::Zero(m);
    result.px = Points::Zero(m, 3);
    for (const Partial& partial : partials) {
        result.p1 += partial.p1;
        result.px += partial.px;
        result.sumLogDenominator += partial.sumLog;
    }
    return result;
}

int countFlippedFaces(const Points& before, const Points& after, const Triangles& faces)
{
    const Points a = faceNormals(before, faces), b = faceNormals(after, faces);
    return static_cast<int>((a.cwiseProduct(b).rowwise().sum().array() < 0.0).count());
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
    Points result = Points::Zero(points.rows(), 3);
    for (Eigen::Index i = 0; i < points.rows(); ++i)
        for (Eigen::Index k = 0; k < m_centres.rows(); ++k)
            result.row(i) += gaussian((points.row(i) - m_centres.row(k)).squaredNorm(), m_width) * m_coefficients.row(k);
    return result;
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
    const auto report = [&](double fraction, const std::string& step) { return !progress || progress(fraction, step); };
    const auto cancelled = [&] {
        result = {};
        result.status = Algorithm::Cancelled;
        result.message = "Cancelled";
        return result;
    };

    if (!report(0.0, "Initial alignment"))
        return cancelled();
    result.transformation = initialTransformation
                                ? *initialTransformation
                                : alignByMomentsAndIcp(movingVertices, fixedVertices, options.withScaling).transformation;
    const Points aligned = transformPoints(result.transformation, movingVertices);

    // Work in a frame where the fixed surface has unit root mean square radius.
    const Vec3 centre = fixedVertices.colwise().mean().transpose();
    const double scale = std::sqrt((fixedVertices.rowwise() - centre.transpose()).rowwise().squaredNorm().mean());
    if (!(scale > 0.0)) {
        result.status = Algorithm::InvalidInput;
        result.message = "The fixed surface has no extent";
        return result;
    }
    const Points x = (fixedVertices.rowwise() - centre.transpose()) / scale;
    const Points y = (aligned.rowwise() - centre.transpose()) / scale;
    const auto n = static_cast<double>(x.rows()), m = static_cast<double>(y.rows());

    const LowRankKernel kernel = lowRankKernel(y, options.kernelRank, options.kernelWidth);
    const Matrix& b = kernel.factor;
    Points t = y;
    Matrix coefficients = Matrix::Zero(b.cols(), 3);  // B^T W
    double variance = (m * x.rowwise().squaredNorm().sum() + n * y.rowwise().squaredNorm().sum() -
                       2.0 * x.colwise().sum().dot(y.colwise().sum())) /
                      (3.0 * m * n);
    const double smallestVariance = 1e-12;
    double previousObjective = std::numeric_limits<double>::infinity();
    int iteration = 0;
    for (; iteration < options.maxIterations && variance > smallestVariance; ++iteration) {
        if (!report(0.05 + 0.9 * iteration / options.maxIterations, "Non-rigid deformation"))
            return cancelled();
        const Correspondences c = correspondences(x, t, variance, options.outlierWeight, options.threads);
        const double objective = -c.sumLogDenominator + 1.5 * n * std::log(variance) +
                                 0.5 * options.smoothness * coefficients.squaredNorm();
        if (std::abs(previousObjective - objective) <= options.tolerance * std::abs(objective))
            break;
        previousObjective = objective;

        // Solve (G + lambda sigma^2 dP1^-1) W = dP1^-1 PX - Y with G = B B^T (Woodbury identity):
        // W = (F - dP1 B (lambda sigma^2 I + B^T dP1 B)^-1 B^T F) / (lambda sigma^2), F = PX - dP1 Y.
        const double damping = options.smoothness * variance;
        const Matrix f = c.px - c.p1.asDiagonal() * y;
        Matrix inner = b.transpose() * c.p1.asDiagonal() * b;
        inner.diagonal().array() += damping;
        const Matrix w = (f - c.p1.asDiagonal() * (b * inner.ldlt().solve(b.transpose() * f))) / damping;
        coefficients = b.transpose() * w;
        t = y + b * coefficients;

        const double np = c.p1.sum();
        variance = (c.pt1.dot(x.rowwise().squaredNorm()) - 2.0 * c.px.cwiseProduct(t).sum() +
                    c.p1.dot(t.rowwise().squaredNorm())) /
                   (3.0 * np);
        variance = std::max(variance, smallestVariance);
    }
    if (!report(0.95, "Quality figures"))
        return cancelled();

    result.iterations = iteration;
    result.variance = variance * scale * scale;
    result.deformedVertices = (t * scale).rowwise() + centre.transpose();
    result.field = DeformationField((kernel.centres * scale).rowwise() + centre.transpose(),
                                    Points(kernel.toCoefficients * coefficients * scale), options.kernelWidth * scale);
    const Eigen::VectorXd distances = SurfaceDistance(fixedVertices, fixedFaces).distances(result.deformedVertices);
    result.meanDistance = distances.mean();
    result.maxDistance = distances.maxCoeff();
    result.flippedFaces = countFlippedFaces(aligned, result.deformedVertices, movingFaces);
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
