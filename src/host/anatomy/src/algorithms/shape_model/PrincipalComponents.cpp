#include "ShapeModelSteps.h"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <stdexcept>

namespace corvaxis::shape_model {

// Works on the n x n Gram matrix, or on the 3P x 3P covariance when that is the smaller one.
Eigen::VectorXd principalComponents(MatrixView centred, int requestedModes)
{
    const Eigen::Index dimension = centred.rows();
    const Eigen::Index samples = centred.cols();
    const bool throughGram = samples <= dimension;
    Eigen::MatrixXd product = Eigen::MatrixXd::Zero(std::min(samples, dimension), std::min(samples, dimension));
    if (throughGram)
        product.selfadjointView<Eigen::Lower>().rankUpdate(centred.transpose());
    else
        product.selfadjointView<Eigen::Lower>().rankUpdate(centred);
    // The solver reads the lower triangle, which is what rankUpdate filled.
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(product);
    if (solver.info() != Eigen::Success)
        throw std::runtime_error("the eigendecomposition of the shape covariance did not converge");

    // Eigen orders eigenvalues ascending; the model wants them descending.
    const Eigen::VectorXd eigenvalues = solver.eigenvalues().reverse();
    const Eigen::MatrixXd eigenvectors = solver.eigenvectors().rowwise().reverse();
    const double largest = std::max(eigenvalues(0), 0.0);
    // Below this an eigenvalue is rounding noise of the product, not variance of the shapes.
    const double negligible = largest * 1e-12 * static_cast<double>(std::max(samples, dimension));
    Eigen::Index kept = 0;
    while (kept < eigenvalues.size() && kept < samples - 1 && eigenvalues(kept) > negligible)
        ++kept;
    if (requestedModes > 0)
        kept = std::min<Eigen::Index>(kept, requestedModes);

    if (throughGram) {
        // mode_k = centred * v_k / sqrt(lambda_k), computed block of rows by block of rows so that
        // the modes overwrite the shapes they come from without a second matrix of that size.
        const Eigen::MatrixXd weights =
            eigenvectors.leftCols(kept) * eigenvalues.head(kept).cwiseSqrt().cwiseInverse().asDiagonal();
        constexpr Eigen::Index blockRows = 1024;
        for (Eigen::Index row = 0; row < dimension; row += blockRows) {
            const Eigen::Index rows = std::min(blockRows, dimension - row);
            const Eigen::MatrixXd block = centred.middleRows(row, rows) * weights;
            centred.middleRows(row, rows).leftCols(kept) = block;
        }
    }
    else {
        centred.leftCols(kept) = eigenvectors.leftCols(kept);
    }
    for (Eigen::Index k = 0; k < kept; ++k) {
        // A sign convention, so that the same data always gives the same modes.
        Eigen::Index largestComponent = 0;
        centred.col(k).cwiseAbs().maxCoeff(&largestComponent);
        if (centred(largestComponent, k) < 0)
            centred.col(k) *= -1.0;
        centred.col(k).normalize();
    }
    return eigenvalues.head(kept) / static_cast<double>(samples - 1);
}

}  // namespace corvaxis::shape_model
