#include "ShapeModelSteps.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/PointCloud.h"

#include <cmath>

// What a shape model is stored as: the structure "shape_model" in a clone of the mean shape
// (docs/shape-models.md), and the figures of its modes.

namespace corvaxis::shape_model {

namespace {

const char* alignmentName(Alignment alignment)
{
    switch (alignment) {
    case Alignment::None: return "none";
    case Alignment::Rigid: return "rigid";
    case Alignment::Similarity: return "similarity";
    }
    return "unknown";
}

}  // namespace

std::unique_ptr<AnatomicalStructure> modelStructure(const AnatomicalStructureCollection& model, const Layout& layout,
                                                    const Coordinates& mean, Points modes, const Eigen::VectorXd& variances,
                                                    Eigen::Index shapes, Alignment alignment)
{
    const auto* generic = dynamic_cast<const GenericASC*>(&model);
    auto carrier = std::make_unique<GenericAnatomicalStructure>(GenerateLinearShapeModel::modelStructureIdentifier,
                                                                generic && generic->is2D());
    carrier->pointclouds["mean"] = std::make_unique<PointCloud>(Points(mean.transpose()));
    auto& modesEntry = carrier->pointclouds["modes"];
    modesEntry = std::make_unique<PointCloud>(std::move(modes));
    Properties& description = modesEntry.editAttributes();
    const auto kept = static_cast<int>(variances.size());
    description.setParam("num_modes", kept);
    description.setParam("num_points", static_cast<int>(layout.numPoints));
    description.setParam("num_shapes", static_cast<int>(shapes));
    description.setParam("alignment", std::string(alignmentName(alignment)));
    for (int k = 0; k < kept; ++k)
        description.addSubProperties("mode")->setParam("variance", variances(k));
    for (const Part& part : layout.parts) {
        Properties* stored = description.addSubProperties("part");
        stored->setParam("structure", part.structure);
        stored->setParam("store", std::string(part.isMesh ? "meshes" : "keypoints"));
        stored->setParam("key", part.key);
        stored->setParam("offset", static_cast<int>(part.offset));
        stored->setParam("count", static_cast<int>(part.count));
    }
    return carrier;
}

void recordModes(Properties& results, const Eigen::VectorXd& variances, double totalVariance)
{
    results.setParam("num_modes", static_cast<int>(variances.size()));
    results.setParam("total_variance", totalVariance);
    double cumulative = 0.0;
    for (Eigen::Index k = 0; k < variances.size(); ++k) {
        cumulative += variances(k);
        Properties* mode = results.addSubProperties("mode");
        mode->setParam("variance", variances(k));
        mode->setParam("standard_deviation", std::sqrt(variances(k)));
        mode->setParam("explained_variance", totalVariance > 0.0 ? variances(k) / totalVariance : 0.0);
        mode->setParam("cumulative_explained_variance", totalVariance > 0.0 ? cumulative / totalVariance : 0.0);
    }
}

}  // namespace corvaxis::shape_model
