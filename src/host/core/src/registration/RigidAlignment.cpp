#include "corvaxis/core/registration/RigidAlignment.h"

#include "Parallel.h"
#include "PointTree.h"

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace corvaxis::registration {

Points transformPoints(const Mat4& transformation, const Points& points)
{
    const Eigen::Matrix3d linear = transformation.topLeftCorner<3, 3>();
    const Vec3 translation = transformation.topRightCorner<3, 1>();
    Points result = points * linear.transpose();
    result.rowwise() += translation.transpose();
    return result;
}

Points everyKth(const Points& points, Eigen::Index count)
{
    const Eigen::Index step = (points.rows() + count - 1) / count;
    if (step <= 1)
        return points;
    Points result((points.rows() + step - 1) / step, 3);
    for (Eigen::Index i = 0; i < result.rows(); ++i)
        result.row(i) = points.row(i * step);
    return result;
}

PrincipalMoments principalMoments(const Points& points)
{
    PrincipalMoments moments;
    if (points.rows() == 0)
        return moments;
    moments.centroid = points.colwise().mean().transpose();
    const Points centred = points.rowwise() - moments.centroid.transpose();
    const Eigen::Matrix3d covariance = centred.transpose() * centred / static_cast<double>(points.rows());
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(covariance);
    // The solver sorts increasingly; the largest variance comes first here.
    for (int k = 0; k < 3; ++k) {
        moments.axes.col(k) = solver.eigenvectors().col(2 - k);
        moments.variances[k] = solver.eigenvalues()[2 - k];
    }
    if (moments.axes.determinant() < 0.0)
        moments.axes.col(2) *= -1.0;
    return moments;
}

namespace {

// Moving points per chunk of a closest-point search.
constexpr Eigen::Index pointsPerChunk = 1024;
// Candidate starts are told apart through this many moving points at most: which one reaches the
// right pose shows as well, and five ICP runs through every point were most of a start's time.
constexpr Eigen::Index candidatePoints = 2000;

}  // namespace

RigidIcpResult rigidIcp(const Points& moving, const Points& fixed, const Mat4& initial, const RigidIcpOptions& options)
{
    if (moving.rows() < 3 || fixed.rows() < 3)
        throw std::invalid_argument("Rigid alignment needs at least three points on each side");
    const PointTree tree(fixed);
    RigidIcpResult result;
    result.transformation = initial;
    Eigen::Matrix3Xd source(3, moving.rows()), target(3, moving.rows());
    const int chunks = static_cast<int>(std::max<Eigen::Index>(1, (moving.rows() + pointsPerChunk - 1) / pointsPerChunk));
    std::vector<double> chunkSums(static_cast<std::size_t>(chunks));
    double previousRms = std::numeric_limits<double>::infinity();
    for (int iteration = 0; iteration <= options.maxIterations; ++iteration) {
        if (options.goOn && !options.goOn())
            break;
        const Points moved = transformPoints(result.transformation, moving);
        forEachChunk(chunks, options.threads, [&](int chunk) {
            const auto [begin, end] = chunkRange(moving.rows(), chunks, chunk);
            double sum = 0.0;
            for (Eigen::Index i = begin; i < end; ++i) {
                const auto [index, squaredDistance] = tree.nearest(moved.row(i).data());
                sum += squaredDistance;
                target.col(i) = fixed.row(index).transpose();
            }
            chunkSums[static_cast<std::size_t>(chunk)] = sum;
        });
        double sum = 0.0;
        for (const double chunkSum : chunkSums)
            sum += chunkSum;
        result.rms = std::sqrt(sum / static_cast<double>(moving.rows()));
        result.iterations = iteration;
        if (iteration == options.maxIterations || (iteration > 0 && previousRms - result.rms <= options.tolerance * previousRms))
            break;
        previousRms = result.rms;
        source = moving.transpose();
        result.transformation = Eigen::umeyama(source, target, options.withScaling);
    }
    return result;
}

RigidIcpResult alignByMomentsAndIcp(const Points& moving, const Points& fixed, bool withScaling,
                                    const std::function<bool()>& goOn, int threads)
{
    if (moving.rows() < 3 || fixed.rows() < 3)
        throw std::invalid_argument("Rigid alignment needs at least three points on each side");
    const PrincipalMoments movingMoments = principalMoments(moving), fixedMoments = principalMoments(fixed);
    const double scale = withScaling && movingMoments.variances.sum() > 0.0
                             ? std::sqrt(fixedMoments.variances.sum() / movingMoments.variances.sum())
                             : 1.0;
    std::vector<Eigen::Matrix3d> rotations{Eigen::Matrix3d::Identity()};
    for (const Vec3 signs : {Vec3(1, 1, 1), Vec3(-1, -1, 1), Vec3(-1, 1, -1), Vec3(1, -1, -1)})
        rotations.push_back(fixedMoments.axes * signs.asDiagonal() * movingMoments.axes.transpose());
    RigidIcpOptions options;
    options.withScaling = withScaling;
    options.threads = threads;
    bool stopped = false;  // once told to stop, ask no more
    options.goOn = [&] { return !(stopped = stopped || (goOn && !goOn())); };
    const Points candidateMoving = everyKth(moving, candidatePoints);
    RigidIcpResult best;
    best.rms = std::numeric_limits<double>::infinity();
    for (const Eigen::Matrix3d& rotation : rotations) {
        Mat4 start = Mat4::Identity();
        start.topLeftCorner<3, 3>() = scale * rotation;
        start.topRightCorner<3, 1>() = fixedMoments.centroid - scale * rotation * movingMoments.centroid;
        const RigidIcpResult candidate = rigidIcp(candidateMoving, fixed, start, options);
        if (stopped)
            return candidate;
        // Near ties go to the earlier candidate, which keeps the given orientation first.
        if (candidate.rms < best.rms * (1.0 - 1e-9))
            best = candidate;
    }
    if (candidateMoving.rows() == moving.rows())
        return best;
    return rigidIcp(moving, fixed, best.transformation, options);
}

}  // namespace corvaxis::registration
