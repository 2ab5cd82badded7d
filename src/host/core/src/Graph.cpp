#include "corvaxis/core/Graph.h"

#include <stdexcept>
#include <string>

namespace corvaxis {

Graph::Graph(Points nodes, Edges edges, bool directed) : m_directed(directed)
{
    if (edges.size() > 0 && (edges.minCoeff() < 0 || edges.maxCoeff() >= nodes.rows()))
        throw std::invalid_argument("graph edges refer to nodes outside [0, " + std::to_string(nodes.rows()) + ")");
    m_nodes = std::move(nodes);
    m_edges = std::move(edges);
}

Graph& Graph::operator=(const Graph& other)
{
    if (this != &other) {
        m_nodes = other.m_nodes;
        m_edges = other.m_edges;
        m_directed = other.m_directed;
        m_nodeFeatures = other.m_nodeFeatures;
        m_edgeFeatures = other.m_edgeFeatures;
        Data::operator=(other);
    }
    return *this;
}

void Graph::setNodeFeature(const std::string& name, FeatureMatrix values)
{
    if (values.rows() != m_nodes.rows())
        throw std::invalid_argument("node feature '" + name + "' needs one row per node");
    m_nodeFeatures[name] = std::move(values);
    notifyChanged();
}

void Graph::setEdgeFeature(const std::string& name, FeatureMatrix values)
{
    if (values.rows() != m_edges.rows())
        throw std::invalid_argument("edge feature '" + name + "' needs one row per edge");
    m_edgeFeatures[name] = std::move(values);
    notifyChanged();
}

bool Graph::removeNodeFeature(const std::string& name)
{
    const bool removed = m_nodeFeatures.erase(name) > 0;
    if (removed)
        notifyChanged();
    return removed;
}

bool Graph::removeEdgeFeature(const std::string& name)
{
    const bool removed = m_edgeFeatures.erase(name) > 0;
    if (removed)
        notifyChanged();
    return removed;
}

}  // namespace corvaxis
