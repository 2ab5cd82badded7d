#pragma once

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/core/Types.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvaxis {

/// Moves a whole collection by one transformation of world space (rigid or similarity): every
/// structure's local-to-world matrix is multiplied by it on the left, and the world-space content
/// of its stores moves with it (keypoints as points, planes as planes, normalised again, the
/// matrices of stored images, meshes, point clouds and graphs). Local values stay as they were.
///
/// A deformable registration moves keypoints by its own map instead (the transformation followed
/// by a deformation) and gives meshes new vertices; planes and matrices still follow the
/// transformation.
///
/// Every new value is worked out first (plan, replaceVertices), so that a move that cannot be made
/// changes nothing; apply then only assigns. Nothing may change the collection between the two.
class CollectionMove {
public:
    /// Where a world keypoint goes.
    using PointMap = std::function<Vec3(const Vec3&)>;

    /// The move, or nothing with failure set to the reason (a keypoint or plane that would not be
    /// a number afterwards). Keypoints go through moveKeypoint when given, else the transformation.
    static std::optional<CollectionMove> plan(AnatomicalStructureCollection& collection, const Mat4& transformation,
                                              std::string& failure, const PointMap& moveKeypoint = {});

    /// Also gives a mesh of the collection new vertices (in its own frame, one per old vertex;
    /// faces stay) when applied. False, with failure set, for vertices that are not finite or do
    /// not match the mesh's count.
    bool replaceVertices(Mesh& mesh, Points vertices, std::string& failure);

    void apply();

private:
    template <typename T>
    struct VectorChange {
        KeyValueStore<T>* store;
        std::string key;
        T value;
    };
    struct MatrixChange {
        Data* object;
        Mat4 matrix;
    };
    struct StructureChange {
        AnatomicalStructure* structure;
        Mat4 matrixToWorld;
        std::vector<VectorChange<Vec3>> keypoints;
        std::vector<VectorChange<Vec4>> planes;
        std::vector<MatrixChange> objects;
    };

    struct VertexChange {
        Mesh* mesh;
        Points vertices;
    };

    std::vector<StructureChange> m_changes;
    std::vector<VertexChange> m_vertexChanges;
};

}  // namespace corvaxis
