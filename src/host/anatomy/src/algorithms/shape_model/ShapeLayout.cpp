#include "ShapeModelSteps.h"

#include <fmt/format.h>

#include <set>
#include <stdexcept>

// Where the model points sit in a collection: read from one, and written into a clone of the
// mean shape.

namespace corvaxis::shape_model {

bool isModelStructure(const AnatomicalStructure& structure)
{
    return structure.identifier() == GenerateLinearShapeModel::modelStructureIdentifier;
}

Layout layoutOf(const AnatomicalStructureCollection& meanShape)
{
    Layout layout;
    std::set<std::string> identifiers;
    for (int i = 0; i < meanShape.numAnatomicalStructures(); ++i) {
        const AnatomicalStructure& structure = *meanShape.anatomicalStructure(i);
        if (isModelStructure(structure))
            continue;
        // Training structures are found by identifier, so a second one of a name could never match.
        if (!identifiers.insert(structure.identifier()).second)
            throw std::invalid_argument(
                fmt::format("the mean shape holds more than one structure identified '{}'", structure.identifier()));
        for (const auto& [key, entry] : structure.keypoints)
            if (entry.hasValue()) {
                layout.parts.push_back({structure.identifier(), false, key, layout.numPoints, 1});
                layout.numPoints += 1;
            }
        for (const auto& [key, entry] : structure.meshes)
            if (entry.hasValue() && entry.value()->numVertices() > 0) {
                const Eigen::Index count = entry.value()->numVertices();
                layout.parts.push_back({structure.identifier(), true, key, layout.numPoints, count});
                layout.numPoints += count;
            }
    }
    if (layout.numPoints == 0)
        throw std::invalid_argument("the mean shape holds no keypoints and no mesh vertices");
    return layout;
}

std::optional<std::string> readShape(const AnatomicalStructureCollection& collection, const Layout& layout, ShapeView shape)
{
    for (const Part& part : layout.parts) {
        const AnatomicalStructure* structure = collection.anatomicalStructureByIdentifier(part.structure);
        if (!structure)
            return fmt::format("it holds no structure identified '{}'", part.structure);
        if (!part.isMesh) {
            if (!structure->keypoints.has(part.key) || !structure->keypoints[part.key].hasValue())
                return fmt::format("structure '{}' has no keypoint '{}'", part.structure, part.key);
            shape.col(part.offset) = structure->keypoints[part.key].value();
            continue;
        }
        if (!structure->meshes.has(part.key) || !structure->meshes[part.key].hasValue())
            return fmt::format("structure '{}' has no mesh '{}'", part.structure, part.key);
        const Mesh& mesh = *structure->meshes[part.key].value();
        if (mesh.numVertices() != part.count)
            return fmt::format("mesh '{}' of structure '{}' has {} vertices instead of {}", part.key, part.structure,
                               mesh.numVertices(), part.count);
        const Mat4 matrix = mesh.matrix();
        shape.middleCols(part.offset, part.count) =
            (matrix.topLeftCorner<3, 3>() * mesh.vertices().transpose()).colwise() + matrix.topRightCorner<3, 1>();
    }
    if (!shape.allFinite())
        return std::string("some of its points are not finite");
    return std::nullopt;
}

std::unique_ptr<AnatomicalStructureCollection> collectionAt(const AnatomicalStructureCollection& meanShape,
                                                            const Layout& layout, const Coordinates& points)
{
    std::unique_ptr<AnatomicalStructureCollection> collection = meanShape.clone();
    for (int i = collection->numAnatomicalStructures() - 1; i >= 0; --i)
        if (isModelStructure(*collection->anatomicalStructure(i)))
            collection->takeAnatomicalStructure(collection->anatomicalStructure(i));
    for (const Part& part : layout.parts) {
        AnatomicalStructure& structure = *collection->anatomicalStructureByIdentifier(part.structure);
        if (!part.isMesh) {
            structure.keypoints[part.key] = Vec3(points.col(part.offset));
            continue;
        }
        Mesh& mesh = *structure.meshes[part.key].value();
        const Mat4 toLocal = mesh.matrix().inverse();
        const Coordinates local =
            (toLocal.topLeftCorner<3, 3>() * points.middleCols(part.offset, part.count)).colwise() +
            toLocal.topRightCorner<3, 1>();
        const bool hadNormals = mesh.normals().has_value();
        mesh.setGeometry(local.transpose(), mesh.faces());
        if (hadNormals)
            mesh.computeNormals();
    }
    return collection;
}

}  // namespace corvaxis::shape_model
