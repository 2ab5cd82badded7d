#include "corvaxis/anatomy/algorithms/GenerateLinearShapeModel.h"

#include "shape_model/ShapeModelSteps.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace corvaxis {

using namespace shape_model;

namespace {

/// The aligned training shapes: shape j's coordinates are the 3P numbers from row j*P of storage
/// on, which is column j of the 3P x n view. The modes later overwrite this same memory, in the
/// point cloud layout of the output.
struct TrainingShapes {
    Points storage;
    Eigen::Index numPoints;
    Eigen::Index used = 0;

    TrainingShapes(Eigen::Index files, Eigen::Index points)
        : storage(std::max<Eigen::Index>(files, 1) * points, 3), numPoints(points)
    {
    }
    MatrixView all(Eigen::Index columns) { return MatrixView(storage.data(), 3 * numPoints, columns); }
    ShapeView at(Eigen::Index column) { return ShapeView(storage.data() + 3 * numPoints * column, 3, numPoints); }
};

/// The mean shape's model points, or why it cannot define a model (the run then failed).
std::optional<Coordinates> templateOf(Algorithm::Run& run, const AnatomicalStructureCollection& meanShape,
                                      const Layout& layout, Alignment alignment)
{
    Coordinates points(3, layout.numPoints);
    if (const auto reason = readShape(meanShape, layout, ShapeView(points.data(), 3, layout.numPoints))) {
        run.fail(Algorithm::InvalidInput, "the mean shape cannot be read: " + *reason);
        return std::nullopt;
    }
    if (alignment != Alignment::None && (layout.numPoints < 3 || spread(points) == 0.0)) {
        run.fail(Algorithm::InvalidInput, "the mean shape needs at least three distinct points to align shapes to it");
        return std::nullopt;
    }
    return points;
}

}  // namespace

GenerateLinearShapeModel::GenerateLinearShapeModel(const AnatomicalStructureCollection* meanShape)
    : m_meanShape(meanShape)
{
    // Every parameter refuses a value outside its range when it is assigned.
    inputDirectory.setRequirement("a path without NUL characters",
                                  [](const std::string& path) { return path.find('\0') == std::string::npos; });
    batchSize.setRange(1, std::numeric_limits<int>::max());
    numModes.setRange(0, std::numeric_limits<int>::max());
    alignment.setAllowedValues({Alignment::None, Alignment::Rigid, Alignment::Similarity});
    maxIterations.setRange(0, std::numeric_limits<int>::max());
    tolerance.setRange(0.0, std::numeric_limits<double>::max(), "finite and not negative");
}

GenerateLinearShapeModel::~GenerateLinearShapeModel() = default;

std::unique_ptr<AnatomicalStructureCollection> GenerateLinearShapeModel::getMeanShape() const
{
    return m_updatedMean ? m_updatedMean->clone() : nullptr;
}

void GenerateLinearShapeModel::compute()
{
    // Parameters cannot change from here on (the run holds them), and were checked when assigned.
    Run run(*this, "GenerateLinearShapeModel");
    m_updatedMean.reset();
    if (!m_meanShape)
        return run.fail(InvalidInput, "no mean shape was given");
    // The compute works on its own copy of the mean shape: a progress callback may change it.
    const std::unique_ptr<AnatomicalStructureCollection> meanShape = m_meanShape->clone();
    const Alignment alignmentKind = alignment.value();
    const fs::path directory(inputDirectory.value());
    std::error_code error;
    if (directory.empty() || !fs::is_directory(directory, error))
        return run.fail(InvalidInput, fmt::format("inputDirectory '{}' is not a directory", directory.string()));

    Layout layout;
    try {
        layout = layoutOf(*meanShape);
    } catch (const std::invalid_argument& invalid) {
        return run.fail(InvalidInput, invalid.what());
    }
    const std::optional<Coordinates> templatePoints = templateOf(run, *meanShape, layout, alignmentKind);
    if (!templatePoints)
        return;
    std::vector<TrainingFile> files;
    try {
        files = trainingFilesIn(directory);
    } catch (const fs::filesystem_error& listing) {
        return run.fail(InvalidInput, fmt::format("inputDirectory '{}' cannot be listed: {}", directory.string(),
                                                  listing.code().message()));
    }

    // Each batch of files is read, its shapes aligned to the current mean, and the mean updated.
    const auto numFiles = static_cast<Eigen::Index>(files.size());
    TrainingShapes shapes(numFiles, layout.numPoints);
    Properties& results = mutableResults();
    Coordinates target = *templatePoints;
    const auto skip = [&](const fs::path& file, const std::string& reason) {
        logWarning(fmt::format("Skipping {}: {}", file.string(), reason));
        Properties* skipped = results.addSubProperties("skipped");
        skipped->setParam("file", file.string());
        skipped->setParam("reason", reason);
    };
    constexpr double readingShare = 0.8;
    // Reported before a file is read, logged once it is.
    const auto readingStep = [&](Eigen::Index i) {
        return fmt::format("Reading shape {} of {}: {}", i + 1, numFiles, files[static_cast<std::size_t>(i)].path.string());
    };
    const auto proceedToFile = [&](Eigen::Index i) {
        return run.proceed(readingShare * static_cast<double>(i) / static_cast<double>(numFiles), readingStep(i));
    };
    const Eigen::Index perBatch = batchSize.value();
    for (Eigen::Index first = 0; first < numFiles; first += perBatch) {
        std::vector<std::pair<fs::path, std::unique_ptr<AnatomicalStructureCollection>>> batch;
        const auto batchEnd = std::min(first + perBatch, numFiles);
        const std::vector<TrainingFile> batchFiles(files.begin() + first, files.begin() + batchEnd);
        Eigen::Index i = first;
        bool going = proceedToFile(i);
        if (going)
            readCollections(batchFiles, [&](const TrainingFile& file,
                                            std::unique_ptr<AnatomicalStructureCollection> collection,
                                            const std::string& whyNone) {
                logInfo(readingStep(i));
                if (collection)
                    batch.emplace_back(file.path, std::move(collection));
                else
                    skip(file.path, whyNone);
                if (++i == batchEnd)
                    return true;
                going = proceedToFile(i);
                return going;
            });
        if (!going)
            return;
        for (auto& [file, collection] : batch) {
            if (const auto reason = readShape(*collection, layout, shapes.at(shapes.used))) {
                skip(file, *reason);
                continue;
            }
            if (!alignOnto(shapes.at(shapes.used), target, alignmentKind)) {
                skip(file, "its points all lie in one place, so it cannot be aligned");
                continue;
            }
            ++shapes.used;
        }
        batch.clear();
        if (updateMean.value() && shapes.used > 0)
            target = updatedMean(shapes.all(shapes.used), shapes.used, *templatePoints, alignmentKind);
    }
    const Eigen::Index used = shapes.used;
    results.setParam("files", static_cast<int>(numFiles));
    results.setParam("shapes_used", static_cast<int>(used));
    results.setParam("files_skipped", static_cast<int>(numFiles - used));
    if (used < 2)
        return run.fail(InvalidInput, fmt::format("{} of {} files in '{}' gave a usable shape; a model needs at least two",
                                                  used, numFiles, directory.string()));
    MatrixView aligned = shapes.all(used);

    // Generalised Procrustes: realign every shape to the latest mean (earlier batches were aligned
    // to earlier estimates), re-estimate it, until it settles.
    if (updateMean.value()) {
        int iterations = 0;
        bool converged = false;
        double meanChange = 0.0;
        while (iterations < maxIterations.value()) {
            ++iterations;
            if (!run.proceed(readingShare + 0.1 * iterations / maxIterations.value(),
                             fmt::format("Aligning to the updated mean, iteration {}", iterations)))
                return;
            for (Eigen::Index j = 0; j < used; ++j)
                alignOnto(shapes.at(j), target, alignmentKind);
            const Coordinates next = updatedMean(aligned, used, *templatePoints, alignmentKind);
            meanChange = (next - target).norm() / std::max(spread(target), std::numeric_limits<double>::min());
            target = next;
            if (meanChange <= tolerance.value()) {
                converged = true;
                break;
            }
        }
        results.setParam("iterations", iterations);
        results.setParam("converged", converged);
        results.setParam("mean_change", meanChange);
        if (!converged)
            logWarning(fmt::format("The mean moved by {} (relative) in the last of {} iterations, more than the "
                                   "tolerance {}", meanChange, iterations, tolerance.value()));
    }

    if (!run.proceed(0.9, "Computing the principal modes"))
        return;
    const Coordinates mean = averageOf(aligned, used, layout.numPoints);
    aligned.colwise() -= Eigen::Map<const Eigen::VectorXd>(mean.data(), 3 * layout.numPoints);
    const double totalVariance = aligned.squaredNorm() / static_cast<double>(used - 1);
    Eigen::VectorXd variances;
    try {
        variances = principalComponents(aligned, numModes.value());
    } catch (const std::runtime_error& failure) {
        return run.fail(Error, failure.what());
    }
    shapes.storage.conservativeResize(variances.size() * layout.numPoints, 3);
    results.setParam("num_points", static_cast<int>(layout.numPoints));
    recordModes(results, variances, totalVariance);

    // The output: the mean shape at the model's mean, and the structure that carries the model.
    std::unique_ptr<AnatomicalStructureCollection> model = collectionAt(*meanShape, layout, mean);
    std::unique_ptr<AnatomicalStructure> carrier =
        modelStructure(*model, layout, mean, std::move(shapes.storage), variances, used, alignmentKind);
    if (!model->addAnatomicalStructure(carrier))
        return run.fail(Error, fmt::format("a collection of kind {} does not take the model structure", model->kindName()));
    if (updateMean.value())
        m_updatedMean = collectionAt(*meanShape, layout, mean);
    output().add(std::move(model));
    logInfo(fmt::format("Shape model of {} shapes: {} modes over {} points", used, variances.size(), layout.numPoints));
    run.succeed();
}

}  // namespace corvaxis
