#include "corvaxis/anatomy/algorithms/CollectionMove.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <fmt/format.h>

namespace corvaxis {

std::optional<CollectionMove> CollectionMove::plan(AnatomicalStructureCollection& collection,
                                                   const Mat4& transformation, std::string& failure,
                                                   const PointMap& moveKeypoint)
{
    // Planes are covectors: they map with the inverse transpose of the point transformation.
    const Mat4 planeMap = transformation.inverse().transpose();
    CollectionMove move;
    for (int index = 0; index < collection.numAnatomicalStructures(); ++index) {
        AnatomicalStructure& structure = *collection.anatomicalStructure(index);
        StructureChange change{&structure, transformation * structure.matrixToWorld(), {}, {}, {}};

        for (const auto& [key, entry] : structure.keypoints) {
            if (!KeyValueStore<Vec3>::isValid(entry.value()))
                continue;
            const Vec3 moved = moveKeypoint ? moveKeypoint(entry.value())
                                            : Vec3((transformation * entry.value().homogeneous()).head<3>());
            if (moved.hasNaN()) {
                failure = fmt::format("Keypoint '{}' of structure '{}' cannot be moved: it would not be a number afterwards",
                                      key, structure.identifier());
                return std::nullopt;
            }
            change.keypoints.push_back({&structure.keypoints, key, moved});
        }
        for (const auto& [key, entry] : structure.planes) {
            if (!KeyValueStore<Vec4>::isValid(entry.value()))
                continue;
            Vec4 moved = planeMap * entry.value();
            // A zero normal describes no plane; it is moved but cannot be normalised.
            const double normalLength = moved.head<3>().norm();
            if (normalLength > 0.0)
                moved /= normalLength;
            if (moved.hasNaN()) {
                failure = fmt::format("Plane '{}' of structure '{}' cannot be moved: it would not be a number afterwards",
                                      key, structure.identifier());
                return std::nullopt;
            }
            change.planes.push_back({&structure.planes, key, moved});
        }
        // Objects move through their matrices; their own content stays as it is.
        const auto planObjects = [&](const auto& store) {
            for (const auto& [key, entry] : store)
                if (entry.value())
                    change.objects.push_back({entry.value().get(), transformation * entry.value()->matrix()});
        };
        planObjects(structure.images);
        planObjects(structure.meshes);
        planObjects(structure.pointclouds);
        planObjects(structure.graphs);
        move.m_changes.push_back(std::move(change));
    }
    return move;
}

bool CollectionMove::replaceVertices(Mesh& mesh, Points vertices, std::string& failure)
{
    if (vertices.rows() != mesh.numVertices() || !vertices.allFinite()) {
        failure = fmt::format("A mesh of {} vertices cannot take {} new vertex positions{}", mesh.numVertices(),
                              vertices.rows(), vertices.allFinite() ? "" : " that are not all finite numbers");
        return false;
    }
    m_vertexChanges.push_back({&mesh, std::move(vertices)});
    return true;
}

void CollectionMove::apply()
{
    for (StructureChange& change : m_changes) {
        // The frame first, keeping the local values: the world values assigned next then have the
        // same local values as before, and entries that do not synchronise keep theirs.
        change.structure->setMatrixToWorld(change.matrixToWorld, false);
        for (auto& [store, key, value] : change.keypoints)
            (*store)[key] = value;
        for (auto& [store, key, value] : change.planes)
            (*store)[key] = value;
        for (auto& [object, matrix] : change.objects)
            object->setMatrix(matrix);
    }
    // Faces are kept as they are, so setting the geometry cannot fail on them. Normals that the
    // mesh had are worked out again for the new shape rather than dropped.
    for (auto& [mesh, vertices] : m_vertexChanges) {
        const bool hadNormals = mesh->normals().has_value();
        mesh->setGeometry(std::move(vertices), mesh->faces());
        if (hadNormals)
            mesh->computeNormals();
    }
    m_changes.clear();
    m_vertexChanges.clear();
}

}  // namespace corvaxis
