#include "corvaxis/core/PointCloud.h"

#include <stdexcept>

namespace corvaxis {

namespace {
void checkNormals(const Points& points, const std::optional<Points>& normals)
{
    if (normals && normals->rows() != points.rows())
        throw std::invalid_argument("a point cloud needs exactly one normal per point");
}
}  // namespace

PointCloud::PointCloud(Points points, std::optional<Points> normals)
{
    checkNormals(points, normals);
    m_points = std::move(points);
    m_normals = std::move(normals);
}

PointCloud& PointCloud::operator=(const PointCloud& other)
{
    if (this != &other) {
        m_points = other.m_points;
        m_normals = other.m_normals;
        Data::operator=(other);
    }
    return *this;
}

void PointCloud::setPoints(Points points, std::optional<Points> normals)
{
    checkNormals(points, normals);
    m_points = std::move(points);
    m_normals = std::move(normals);
    notifyChanged();
}

}  // namespace corvaxis
