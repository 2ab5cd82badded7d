#include "corvaxis/core/Mesh.h"

#include <Eigen/Geometry>

#include <stdexcept>
#include <string>

namespace corvaxis {

namespace {
void checkFaces(const Points& vertices, const Triangles& faces)
{
    if (faces.size() == 0)
        return;
    if (faces.minCoeff() < 0 || faces.maxCoeff() >= vertices.rows())
        throw std::invalid_argument("mesh faces refer to vertices outside [0, " + std::to_string(vertices.rows()) + ")");
}
}  // namespace

Mesh::Mesh(Points vertices, Triangles faces)
{
    checkFaces(vertices, faces);
    m_vertices = std::move(vertices);
    m_faces = std::move(faces);
}

Mesh& Mesh::operator=(const Mesh& other)
{
    if (this != &other) {
        m_vertices = other.m_vertices;
        m_faces = other.m_faces;
        m_normals = other.m_normals;
        Data::operator=(other);
    }
    return *this;
}

void Mesh::setGeometry(Points vertices, Triangles faces)
{
    checkFaces(vertices, faces);
    m_vertices = std::move(vertices);
    m_faces = std::move(faces);
    m_normals.reset();
    notifyChanged();
}

void Mesh::setNormals(std::optional<Points> normals)
{
    if (normals && normals->rows() != m_vertices.rows())
        throw std::invalid_argument("a mesh needs exactly one normal per vertex");
    m_normals = std::move(normals);
    notifyChanged();
}

void Mesh::computeNormals()
{
    Points normals = Points::Zero(m_vertices.rows(), 3);
    for (Eigen::Index f = 0; f < m_faces.rows(); ++f) {
        const Eigen::Vector3d a = m_vertices.row(m_faces(f, 0));
        const Eigen::Vector3d b = m_vertices.row(m_faces(f, 1));
        const Eigen::Vector3d c = m_vertices.row(m_faces(f, 2));
        // The cross product's length is twice the face area: larger faces weigh more.
        const Eigen::RowVector3d faceNormal = (b - a).cross(c - a).transpose();
        for (int corner = 0; corner < 3; ++corner)
            normals.row(m_faces(f, corner)) += faceNormal;
    }
    for (Eigen::Index v = 0; v < normals.rows(); ++v) {
        const double length = normals.row(v).norm();
        if (length > 0)
            normals.row(v) /= length;
    }
    setNormals(std::move(normals));
}

}  // namespace corvaxis
