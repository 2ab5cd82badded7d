#pragma once

#include "corvaxis/anatomy/algorithms/GenerateLinearShapeModel.h"

#include <Eigen/Core>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The steps of GenerateLinearShapeModel::compute, one file each: the layout of the model points
// in a collection (ShapeLayout.cpp), the training files (TrainingFiles.cpp), Procrustes alignment
// (ShapeAlignment.cpp), the principal components (PrincipalComponents.cpp) and the output
// collection (ShapeModelOutput.cpp).

namespace corvaxis::shape_model {

namespace fs = std::filesystem;
using Alignment = GenerateLinearShapeModel::Alignment;
using Coordinates = Eigen::Matrix<double, 3, Eigen::Dynamic>;
using ShapeView = Eigen::Map<Coordinates>;
using MatrixView = Eigen::Map<Eigen::MatrixXd>;

/// A run of model points: the keypoint (count 1) or the mesh vertices of one structure's entry.
struct Part {
    std::string structure;
    bool isMesh;
    std::string key;
    Eigen::Index offset;
    Eigen::Index count;
};

struct Layout {
    std::vector<Part> parts;
    Eigen::Index numPoints = 0;
};

bool isModelStructure(const AnatomicalStructure& structure);
/// The model's points, in the order the output layout documents: structures in collection order,
/// then keypoints by key, then meshes by key, vertex by vertex. Throws std::invalid_argument.
Layout layoutOf(const AnatomicalStructureCollection& meanShape);
/// Writes the collection's model points (world coordinates) into shape; the reason why the
/// collection does not correspond to the layout otherwise.
std::optional<std::string> readShape(const AnatomicalStructureCollection& collection, const Layout& layout, ShapeView shape);
/// A clone of the mean shape without any model structure, its model points moved to points.
std::unique_ptr<AnatomicalStructureCollection> collectionAt(const AnatomicalStructureCollection& meanShape,
                                                            const Layout& layout, const Coordinates& points);

/// A ".cvx" entry directly in the training directory, in name order, or why it cannot be read
/// at all (a symbolic-link loop, a link to nothing).
struct TrainingFile {
    fs::path path;
    std::optional<std::string> unreadable;
};
/// Throws fs::filesystem_error when the directory cannot be listed.
std::vector<TrainingFile> trainingFilesIn(const fs::path& directory);
/// Called with each training file in order: the collection it holds, or null and why there is
/// none. Returns false to stop reading.
using EachCollection = std::function<bool(const TrainingFile& file, std::unique_ptr<AnatomicalStructureCollection>,
                                          const std::string& whyNone)>;
/// Reads the collections the files hold (one trial-read process for them all).
void readCollections(const std::vector<TrainingFile>& files, const EachCollection& each);

/// Moves shape onto target by the best transformation of the kind (least squares); false when the
/// shape is too degenerate to be aligned (all points in one place).
bool alignOnto(ShapeView shape, const Coordinates& target, Alignment alignment);
/// Root of the summed squared distances of the points from their centroid.
double spread(const Coordinates& points);
Coordinates averageOf(const MatrixView& shapes, Eigen::Index used, Eigen::Index numPoints);
/// The average of the aligned shapes, put back into the template's pose (and size, for
/// similarity), so that repeated averaging neither drifts nor shrinks.
Coordinates updatedMean(const MatrixView& shapes, Eigen::Index used, const Coordinates& templatePoints,
                        Alignment alignment);

/// Principal components of the centred shapes (columns of centred, 3P x n), in place: on return
/// the first columns of centred hold the orthonormal modes, largest variance first, and the
/// variances (normalised by n - 1) are returned. Throws std::runtime_error when the
/// eigendecomposition fails.
Eigen::VectorXd principalComponents(MatrixView centred, int requestedModes);

/// The structure that carries the model: the mean and the modes (their storage taken over) as point
/// clouds, with the description of the modes and parts as the modes' attributes.
std::unique_ptr<AnatomicalStructure> modelStructure(const AnatomicalStructureCollection& model, const Layout& layout,
                                                    const Coordinates& mean, Points modes, const Eigen::VectorXd& variances,
                                                    Eigen::Index shapes, Alignment alignment);
/// The figures of the modes in the algorithm's results.
void recordModes(Properties& results, const Eigen::VectorXd& variances, double totalVariance);

void logInfo(const std::string& message);
void logWarning(const std::string& message);

}  // namespace corvaxis::shape_model
