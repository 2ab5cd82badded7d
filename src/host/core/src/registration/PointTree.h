#pragma once

#include "corvaxis/core/Geometry.h"

#include <nanoflann.hpp>

#include <memory>
#include <vector>

namespace corvaxis::registration {

/// Nearest-neighbour queries over the rows of a point matrix, which must outlive the tree and
/// stay unchanged while it is used.
class PointTree {
public:
    using Neighbour = nanoflann::ResultItem<Eigen::Index, double>;

    explicit PointTree(const Points& points) : m_adaptor{points}, m_index(3, m_adaptor, nanoflann::KDTreeSingleIndexAdaptorParams(16)) {}

    /// Index of the closest point and its squared distance.
    std::pair<Eigen::Index, double> nearest(const double* query) const
    {
        Eigen::Index index = 0;
        double squaredDistance = 0.0;
        nanoflann::KNNResultSet<double, Eigen::Index> result(1);
        result.init(&index, &squaredDistance);
        m_index.findNeighbors(result, query);
        return {index, squaredDistance};
    }

    /// All points within the squared radius, unsorted; `found` is reused between calls.
    void within(const double* query, double squaredRadius, std::vector<Neighbour>& found) const
    {
        found.clear();
        nanoflann::RadiusResultSet<double, Eigen::Index> result(squaredRadius, found);
        m_index.findNeighbors(result, query, nanoflann::SearchParameters(0.0f, false));
    }

private:
    struct Adaptor {
        const Points& points;
        std::size_t kdtree_get_point_count() const { return static_cast<std::size_t>(points.rows()); }
        double kdtree_get_pt(Eigen::Index index, std::size_t dim) const { return points(index, static_cast<Eigen::Index>(dim)); }
        template <class Box>
        bool kdtree_get_bbox(Box&) const { return false; }
    };
    using Index = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Adaptor>, Adaptor, 3, Eigen::Index>;

    Adaptor m_adaptor;
    Index m_index;
};

}  // namespace corvaxis::registration
