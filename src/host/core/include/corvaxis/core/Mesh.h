#pragma once

#include "corvaxis/core/Data.h"
#include "corvaxis/core/Geometry.h"

#include <optional>

namespace corvaxis {

/// A triangle mesh: vertices, faces indexing them, optional per-vertex normals.
class Mesh : public Data {
public:
    Mesh() = default;
    /// Throws std::invalid_argument when a face refers to a vertex that does not exist.
    Mesh(Points vertices, Triangles faces);
    Mesh(const Mesh&) = default;
    /// Copies the content first and then signals, so that slots see the new state.
    Mesh& operator=(const Mesh& other);

    int kind() const override { return MeshKind; }
    std::string kindName() const override { return "Mesh"; }
    std::unique_ptr<Data> cloneData() const override { return std::make_unique<Mesh>(*this); }

    const Points& vertices() const { return m_vertices; }
    const Triangles& faces() const { return m_faces; }
    const std::optional<Points>& normals() const { return m_normals; }
    int numVertices() const { return static_cast<int>(m_vertices.rows()); }
    int numFaces() const { return static_cast<int>(m_faces.rows()); }

    void setGeometry(Points vertices, Triangles faces);
    /// One normal per vertex, or nothing to drop them.
    void setNormals(std::optional<Points> normals);
    /// Per-vertex normals from the area-weighted normals of the faces around each vertex.
    void computeNormals();

private:
    Points m_vertices;
    Triangles m_faces;
    std::optional<Points> m_normals;
};

}  // namespace corvaxis
