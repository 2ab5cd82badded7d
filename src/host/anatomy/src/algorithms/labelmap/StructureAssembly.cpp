#include "LabelMapSteps.h"

#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/Mesh.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

namespace corvaxis::AnatomicalStructureProcessing::labelmap {

namespace {

double surfaceArea(const Points& vertices, const Triangles& faces)
{
    double twice = 0.0;
    for (Eigen::Index f = 0; f < faces.rows(); ++f) {
        const Vec3 a = vertices.row(faces(f, 0)).transpose();
        const Vec3 b = vertices.row(faces(f, 1)).transpose();
        const Vec3 c = vertices.row(faces(f, 2)).transpose();
        twice += (b - a).cross(c - a).norm();
    }
    return twice / 2.0;
}

}  // namespace

std::vector<std::unique_ptr<AnatomicalStructure>> assembleStructures(const std::vector<StructurePlan>& plans,
                                                                     std::vector<surface::TriangleSurface> surfaces,
                                                                     const Mat4& voxelToWorld,
                                                                     GenericASCFromMultiLabelMap::Surface kind,
                                                                     Properties& results)
{
    const double voxelVolume = std::abs(voxelToWorld.topLeftCorner<3, 3>().determinant());
    const std::string kindName = GenericASCFromMultiLabelMap::surfaceName(kind);
    std::vector<std::unique_ptr<AnatomicalStructure>> structures;
    for (std::size_t index = 0; index < plans.size(); ++index) {
        const StructurePlan& plan = plans[index];
        const LabelStatistics& statistics = plan.statistics;
        const double count = static_cast<double>(statistics.count);
        const Vec4 centroid = voxelToWorld * Vec4(static_cast<double>(statistics.indexSum[0]) / count,
                                                  static_cast<double>(statistics.indexSum[1]) / count,
                                                  static_cast<double>(statistics.indexSum[2]) / count, 1.0);
        auto structure = std::make_unique<GenericAnatomicalStructure>(plan.name);
        structure->keypoints["centroid"] = centroid.head<3>();
        const double enclosed = surface::enclosedVolume(surfaces[index].vertices, surfaces[index].faces);
        const double area = surfaceArea(surfaces[index].vertices, surfaces[index].faces);
        const auto triangles = static_cast<int>(surfaces[index].faces.rows());
        structure->meshes["surface"] =
            std::make_unique<Mesh>(std::move(surfaces[index].vertices), std::move(surfaces[index].faces));
        Properties& attributes = structure->meshes["surface"].editAttributes();
        attributes.setParam("label", static_cast<int>(plan.labels.front()));
        attributes.setParam("voxel_count", static_cast<int>(statistics.count));
        attributes.setParam("volume", count * voxelVolume);
        attributes.setParam("surface", kindName);
        attributes.setParam("surface_area", area);
        attributes.setParam("color", plan.config.color);

        Properties* figures = results.addSubProperties("structures");
        figures->setParam("name", plan.name);
        figures->setParam("label", static_cast<int>(plan.labels.front()));
        figures->setParam("voxel_count", static_cast<int>(statistics.count));
        figures->setParam("volume", count * voxelVolume);
        figures->setParam("mesh_volume", enclosed);
        figures->setParam("surface_area", area);
        figures->setParam("triangles", triangles);
        structures.push_back(std::move(structure));
    }
    return structures;
}

}  // namespace corvaxis::AnatomicalStructureProcessing::labelmap
