#pragma once

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/core/Algorithm.h"

#include <memory>
#include <string>

namespace corvaxis {

/// Builds a linear shape model (mean and principal modes) from the collections stored as ".cvx"
/// files directly in a directory.
///
/// The mean shape's structures define what is modelled: every keypoint (by key) and every mesh
/// vertex (by key, vertex by vertex) of each of its structures, in world coordinates. A training
/// collection must hold the same structures, keys and vertex counts; a file that cannot be read
/// or does not correspond is skipped with a warning. Each shape is aligned to the current mean
/// (Procrustes); with updateMean on, the mean is re-estimated from the aligned shapes and the
/// alignment repeated until the mean settles (generalised Procrustes).
///
/// The output is one collection: a clone of the mean shape at the model's mean geometry plus a
/// structure identified "shape_model" that holds the modes and their variances (docs/shape-models.md).
/// The mean shape is used, never owned or changed; it must outlive every compute.
class GenerateLinearShapeModel : public Algorithm {
public:
    enum class Alignment : int { None = 0, Rigid = 1, Similarity = 2 };

    /// Identifier of the structure that carries the model in the output collection.
    static constexpr const char* modelStructureIdentifier = "shape_model";
    static constexpr const char* logCategory = "AnatomyPlugin.GenerateLinearShapeModel";

    explicit GenerateLinearShapeModel(const AnatomicalStructureCollection* meanShape);
    ~GenerateLinearShapeModel() override;

    void compute() override;

    /// The mean shape re-estimated by the last successful compute with updateMean on, as a new
    /// collection; null otherwise.
    std::unique_ptr<AnatomicalStructureCollection> getMeanShape() const;

    Parameter<std::string> inputDirectory{"inputDirectory", "", this};
    /// Re-estimate the mean from the aligned shapes (generalised Procrustes) before the model.
    Parameter<bool> updateMean{"updateMean", false, this};
    /// Collections read (and held) at a time.
    Parameter<int> batchSize{"batchSize", 16, this};
    /// Modes kept, largest variance first; 0 keeps every mode of non-zero variance.
    Parameter<int> numModes{"numModes", 0, this};
    Parameter<Alignment> alignment{"alignment", Alignment::Similarity, this};
    /// Limit of the mean-update iterations after the first pass over the files.
    Parameter<int> maxIterations{"maxIterations", 20, this};
    /// The mean counts as settled when it moves less than this, relative to its size.
    Parameter<double> tolerance{"tolerance", 1e-6, this};

private:
    const AnatomicalStructureCollection* m_meanShape;
    std::unique_ptr<AnatomicalStructureCollection> m_updatedMean;
};

}  // namespace corvaxis
