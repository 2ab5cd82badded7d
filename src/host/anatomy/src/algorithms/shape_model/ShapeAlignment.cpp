#include "ShapeModelSteps.h"

#include <Eigen/Geometry>

// Procrustes alignment of shapes onto a target, and the mean of aligned shapes.

namespace corvaxis::shape_model {

bool alignOnto(ShapeView shape, const Coordinates& target, Alignment alignment)
{
    if (alignment == Alignment::None)
        return true;
    const Mat4 transform = Eigen::umeyama(shape, target, alignment == Alignment::Similarity);
    if (!transform.allFinite())
        return false;
    const Coordinates moved = (transform.topLeftCorner<3, 3>() * shape).colwise() + transform.topRightCorner<3, 1>();
    if (!moved.allFinite())
        return false;
    shape = moved;
    return true;
}

double spread(const Coordinates& points)
{
    return (points.colwise() - points.rowwise().mean()).norm();
}

Coordinates averageOf(const MatrixView& shapes, Eigen::Index used, Eigen::Index numPoints)
{
    const Eigen::VectorXd mean = shapes.leftCols(used).rowwise().mean();
    return Eigen::Map<const Coordinates>(mean.data(), 3, numPoints);
}

Coordinates updatedMean(const MatrixView& shapes, Eigen::Index used, const Coordinates& templatePoints,
                        Alignment alignment)
{
    Coordinates mean = averageOf(shapes, used, templatePoints.cols());
    if (alignment != Alignment::None)
        alignOnto(ShapeView(mean.data(), 3, mean.cols()), templatePoints, alignment);
    return mean;
}

}  // namespace corvaxis::shape_model
