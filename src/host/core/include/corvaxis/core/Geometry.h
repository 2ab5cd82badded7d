#pragma once

#include <Eigen/Core>

namespace corvaxis {

/// Row-major so that each row is one point and the memory matches a NumPy (N, 3) array.
using Points = Eigen::Matrix<double, Eigen::Dynamic, 3, Eigen::RowMajor>;
using Triangles = Eigen::Matrix<int, Eigen::Dynamic, 3, Eigen::RowMajor>;
using Edges = Eigen::Matrix<int, Eigen::Dynamic, 2, Eigen::RowMajor>;
using FeatureMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

}  // namespace corvaxis
