#pragma once

#include "corvaxis/anatomy/styling/StyleCascade.h"
#include "corvaxis/anatomy/styling/StyleSheet.h"
#include "corvaxis/anatomy/styling/SubPropertyList.h"
#include "corvaxis/core/DataComponent.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvaxis {

class AnatomicalStructureCollection;

/// Modes of the mesh renderer.
struct GlMesh {
    enum class RenderMode3d : int { Surface = 0, Wireframe = 1, SurfaceAndWireframe = 2, Points = 3 };
    enum class MaterialMode : int { Uniform = 0, VertexColors = 1, Normals = 2 };
};

/// Modes of the point-cloud renderer.
struct GlPointCloud {
    enum class MaterialMode : int { Uniform = 0, PointColors = 1, Normals = 2 };
};

/// The rendering options of one anatomical structure collection: its style sheets, in cascade
/// order, and the switches of the renderers (docs/styling.md lists them).
class ASCDisplayOptions : public DataComponentBase, public SignalReceiver {
public:
    enum class ImageDisplayMode : int { Slices = 0, Volume = 1, Outline = 2 };
    enum class GraphRenderMode : int { Lines = 0, Tubes = 1, Points = 2 };

    /// Type codes of the enumeration parameters, so that readers of a saved tree know them.
    enum TypeCode : unsigned {
        MeshRenderModeType = 101,
        MeshMaterialModeType = 102,
        ImageDisplayModeType = 103,
        PointCloudMaterialModeType = 104,
        GraphRenderModeType = 105,
    };

    ASCDisplayOptions();
    ASCDisplayOptions(const ASCDisplayOptions& other);
    ASCDisplayOptions& operator=(const ASCDisplayOptions& other);
    ~ASCDisplayOptions() override = default;

    static constexpr const char* componentId = "ASCDisplayOptions";
    std::string id() const override { return componentId; }
    std::unique_ptr<DataComponentBase> clone() const override;

    /// Appends a copy of the sheet. A selector text makes sure the copy has a rule for it.
    void addStyleSheet(AnatomyPlugin::StyleSheet sheet, const std::optional<std::string>& selectorText);
    /// The first sheet of that name, appended empty when there is none; a selector text makes sure
    /// it has a rule for it. The reference is valid until the sheet list changes.
    AnatomyPlugin::StyleSheet& getOrAppendStyleSheet(const std::string& name,
                                                     const std::optional<std::string>& selectorText);
    /// Removes every sheet of that name.
    void removeStyleSheetsByName(const std::string& name);

    /// The effective style of one object under the current sheets (see StyleCascade). The
    /// flattened sheets are kept until the sheet list or a sheet changes.
    Properties resolve(const AnatomyPlugin::StyledObject& object) const;

    SubPropertyList<AnatomyPlugin::StyleSheet> styleSheets{"style_sheets", this};
    Parameter<GlMesh::RenderMode3d> meshRenderMode{"mesh_render_mode", GlMesh::RenderMode3d::Surface, this,
                                                   MeshRenderModeType};
    Parameter<GlMesh::MaterialMode> meshMaterialMode{"mesh_material_mode", GlMesh::MaterialMode::Uniform, this,
                                                     MeshMaterialModeType};
    Parameter<bool> showMeshes{"show_meshes", true, this};
    Parameter<double> keypointSize{"keypoint_size", 5.0, this};
    Parameter<bool> showKeypoints{"show_keypoints", true, this};
    Parameter<bool> showPlanes{"show_planes", true, this};
    Parameter<ImageDisplayMode> imageDisplayMode{"image_display_mode", ImageDisplayMode::Slices, this,
                                                 ImageDisplayModeType};
    Parameter<bool> showImages{"show_images", true, this};
    Parameter<bool> showPointClouds{"show_point_clouds", true, this};
    Parameter<GlPointCloud::MaterialMode> pointCloudMaterialMode{
        "point_cloud_material_mode", GlPointCloud::MaterialMode::Uniform, this, PointCloudMaterialModeType};
    Parameter<bool> showGraphs{"show_graphs", true, this};
    Parameter<GraphRenderMode> graphRenderMode{"graph_render_mode", GraphRenderMode::Lines, this,
                                               GraphRenderModeType};
    Parameter<int> labelSize{"label_size", 12, this};

private:
    std::vector<ParameterBase*> parameterMembers();
    void setUp();

    mutable std::shared_ptr<const AnatomyPlugin::StyleCascade> m_cascade;
};

/// The effective style of one object of a collection, from its first display options component
/// (by exact type); the entry's own attributes take part when the structure holds that entry.
/// Empty when the collection has no display options.
Properties resolveStyle(const AnatomicalStructureCollection& collection, const std::string& identifier,
                        AnatomyPlugin::ContentType kind, const std::string& key);

/// The first component of exactly this type in the list, or null.
ASCDisplayOptions* findDisplayOptions(const DataComponentList& components);

}  // namespace corvaxis
