#pragma once

#include "corvaxis/core/Data.h"
#include "corvaxis/core/Geometry.h"

#include <map>
#include <string>

namespace corvaxis {

/// A geometric graph: node positions, edges between node indices, and named features with one
/// row per node or per edge.
class Graph : public Data {
public:
    using Features = std::map<std::string, FeatureMatrix>;

    Graph() = default;
    /// Throws std::invalid_argument when an edge refers to a node that does not exist.
    Graph(Points nodes, Edges edges, bool directed = false);
    Graph(const Graph&) = default;
    /// Copies the content first and then signals, so that slots see the new state.
    Graph& operator=(const Graph& other);

    int kind() const override { return GraphKind; }
    std::string kindName() const override { return "Graph"; }
    std::unique_ptr<Data> cloneData() const override { return std::make_unique<Graph>(*this); }

    const Points& nodes() const { return m_nodes; }
    const Edges& edges() const { return m_edges; }
    bool directed() const { return m_directed; }
    int numNodes() const { return static_cast<int>(m_nodes.rows()); }
    int numEdges() const { return static_cast<int>(m_edges.rows()); }

    const Features& nodeFeatures() const { return m_nodeFeatures; }
    const Features& edgeFeatures() const { return m_edgeFeatures; }
    /// Throws std::invalid_argument unless the feature has one row per node (edge).
    void setNodeFeature(const std::string& name, FeatureMatrix values);
    void setEdgeFeature(const std::string& name, FeatureMatrix values);
    bool removeNodeFeature(const std::string& name);
    bool removeEdgeFeature(const std::string& name);

private:
    Points m_nodes;
    Edges m_edges;
    bool m_directed = false;
    Features m_nodeFeatures;
    Features m_edgeFeatures;
};

}  // namespace corvaxis
