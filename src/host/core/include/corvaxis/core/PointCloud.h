#pragma once

#include "corvaxis/core/Data.h"
#include "corvaxis/core/Geometry.h"

#include <optional>

namespace corvaxis {

/// A set of points with optional per-point normals.
class PointCloud : public Data {
public:
    PointCloud() = default;
    /// Throws std::invalid_argument when normals are given but not one per point.
    explicit PointCloud(Points points, std::optional<Points> normals = std::nullopt);
    PointCloud(const PointCloud&) = default;
    /// Copies the content first and then signals, so that slots see the new state.
    PointCloud& operator=(const PointCloud& other);

    int kind() const override { return PointCloudKind; }
    std::string kindName() const override { return "PointCloud"; }
    std::unique_ptr<Data> cloneData() const override { return std::make_unique<PointCloud>(*this); }

    const Points& points() const { return m_points; }
    const std::optional<Points>& normals() const { return m_normals; }
    int numPoints() const { return static_cast<int>(m_points.rows()); }

    void setPoints(Points points, std::optional<Points> normals = std::nullopt);

private:
    Points m_points;
    std::optional<Points> m_normals;
};

}  // namespace corvaxis
