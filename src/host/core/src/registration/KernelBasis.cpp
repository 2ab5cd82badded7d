#include "KernelBasis.h"

#include <Eigen/Eigenvalues>

#include <cmath>
#include <vector>

namespace corvaxis::registration {

namespace {

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

}  // namespace

Eigen::MatrixXd gaussianKernel(const Points& points, const Points& centres, double width)
{
    Eigen::MatrixXd result(points.rows(), centres.rows());
    const double factor = -1.0 / (2.0 * width * width);
    for (Eigen::Index k = 0; k < centres.rows(); ++k)
        result.col(k) = ((points.rowwise() - centres.row(k)).rowwise().squaredNorm() * factor).array().exp().matrix();
    return result;
}

KernelBasis::KernelBasis(const Points& spreadOver, int rank, double width) : m_width(width)
{
    const std::vector<Eigen::Index> chosen =
        farthestPointSample(spreadOver, std::min<Eigen::Index>(rank, spreadOver.rows()));
    const auto k = static_cast<Eigen::Index>(chosen.size());
    m_centres.resize(k, 3);
    for (Eigen::Index i = 0; i < k; ++i)
        m_centres.row(i) = spreadOver.row(chosen[static_cast<std::size_t>(i)]);
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(gaussianKernel(m_centres, m_centres, width));
    const double largest = solver.eigenvalues().maxCoeff();
    std::vector<Eigen::Index> kept;
    for (Eigen::Index i = 0; i < k; ++i)
        if (solver.eigenvalues()[i] > 1e-10 * largest)
            kept.push_back(i);
    m_toCoefficients.resize(k, static_cast<Eigen::Index>(kept.size()));
    for (std::size_t c = 0; c < kept.size(); ++c)
        m_toCoefficients.col(static_cast<Eigen::Index>(c)) =
            solver.eigenvectors().col(kept[c]) / std::sqrt(solver.eigenvalues()[kept[c]]);
}

Eigen::MatrixXd KernelBasis::rows(const Points& points) const
{
    return gaussianKernel(points, m_centres, m_width) * m_toCoefficients;
}

Points KernelBasis::coefficients(const Eigen::MatrixXd& beta) const { return Points(m_toCoefficients * beta); }

}  // namespace corvaxis::registration
