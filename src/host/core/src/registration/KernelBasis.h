#pragma once

#include "corvaxis/core/Geometry.h"

#include <Eigen/Core>

namespace corvaxis::registration {

/// Low-rank factor of the Gaussian kernel matrix of a point set (Nystroem approximation through
/// kernel centres): G ~ B B^T with B = K(points, centres) S. A displacement B beta at the points is
/// the field with coefficients `coefficients(beta)` on the centres, so it is defined everywhere.
class KernelBasis {
public:
    /// Centres are `rank` farthest-point samples of `spreadOver`; the centres' own kernel matrix
    /// loses its negligible directions, which a wide kernel makes nearly singular.
    KernelBasis(const Points& spreadOver, int rank, double width);

    /// B at the given points: one row per point, one column per basis function.
    Eigen::MatrixXd rows(const Points& points) const;
    /// Field coefficients, one row per centre, of the displacement B beta.
    Points coefficients(const Eigen::MatrixXd& beta) const;

    Eigen::Index size() const { return m_toCoefficients.cols(); }
    const Points& centres() const { return m_centres; }
    double width() const { return m_width; }

private:
    Points m_centres;
    Eigen::MatrixXd m_toCoefficients;  // S: centres x basis functions
    double m_width;
};

/// Gaussian kernel values exp(-|p - c|^2 / (2 width^2)) of every point (rows) and centre (columns).
Eigen::MatrixXd gaussianKernel(const Points& points, const Points& centres, double width);

}  // namespace corvaxis::registration
