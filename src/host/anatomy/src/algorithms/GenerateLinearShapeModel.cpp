#include "corvaxis/anatomy/algorithms/GenerateLinearShapeModel.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/Log.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/io/DataFile.h"

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

namespace corvaxis {

namespace {

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

bool isModelStructure(const AnatomicalStructure& structure)
{
    return structure.identifier() == GenerateLinearShapeModel::modelStructureIdentifier;
}

/// The model's points, in the order the output layout documents: structures in collection order,
/// then keypoints by key, then meshes by key, vertex by vertex. Throws std::invalid_argument.
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

/// Writes the collection's model points (world coordinates) into shape; the reason why the
/// collection does not correspond to the layout otherwise.
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

/// Moves shape onto target by the best transformation of the kind (least squares); false when the
/// shape is too degenerate to be aligned (all points in one place).
bool alignOnto(ShapeView shape, const Coordinates& target, Alignment alignment)
{
    if (alignment == Alignment::None)
        return true;
    const Mat4 transform = Eigen::umeyama(shape, target, alignment == Alignment::Similarity);
    if (!transform.allFinite())
        return false;
    const Coordinates moved = (transform.topLeftCorner<3, 3>() * shape).colwise() + transform.topRightCorner<3, 1>();
    if (!moved.allFinite())
        return false;
    shape = moved;
    return true;
}

double spread(const Coordinates& points)
{
    return (points.colwise() - points.rowwise().mean()).norm();
}

Coordinates averageOf(const MatrixView& shapes, Eigen::Index used, Eigen::Index numPoints)
{
    const Eigen::VectorXd mean = shapes.leftCols(used).rowwise().mean();
    return Eigen::Map<const Coordinates>(mean.data(), 3, numPoints);
}

/// The average of the aligned shapes, put back into the template's pose (and size, for
/// similarity), so that repeated averaging neither drifts nor shrinks.
Coordinates updatedMean(const MatrixView& shapes, Eigen::Index used, const Coordinates& templatePoints,
                        Alignment alignment)
{
    Coordinates mean = averageOf(shapes, used, templatePoints.cols());
    if (alignment != Alignment::None)
        alignOnto(ShapeView(mean.data(), 3, mean.cols()), templatePoints, alignment);
    return mean;
}

/// A clone of the mean shape without any model structure, its model points moved to points.
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

/// The ".cvx" files directly in the directory, in name order.
std::vector<fs::path> dataFilesIn(const fs::path& directory)
{
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        if (entry.path().extension() == io::fileExtension && entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

const char* alignmentName(Alignment alignment)
{
    switch (alignment) {
    case Alignment::None: return "none";
    case Alignment::Rigid: return "rigid";
    case Alignment::Similarity: return "similarity";
    }
    return "unknown";
}

void logInfo(const std::string& message)
{
    Log::logIfAccepted(Log::Info, GenerateLinearShapeModel::logCategory, [&] { return message; });
}

void logWarning(const std::string& message)
{
    Log::logIfAccepted(Log::Warning, GenerateLinearShapeModel::logCategory, [&] { return message; });
}

/// Principal components of the centred shapes (columns of centred, 3P x n), in place: on return
/// the first columns of centred hold the orthonormal modes, largest variance first, and the
/// variances (normalised by n - 1) are returned. Works on the n x n Gram matrix, or on the
/// 3P x 3P covariance when that is the smaller one.
Eigen::VectorXd principalComponents(MatrixView centred, int requestedModes)
{
    const Eigen::Index dimension = centred.rows();
    const Eigen::Index samples = centred.cols();
    const bool throughGram = samples <= dimension;
    Eigen::MatrixXd product = Eigen::MatrixXd::Zero(std::min(samples, dimension), std::min(samples, dimension));
    if (throughGram)
        product.selfadjointView<Eigen::Lower>().rankUpdate(centred.transpose());
    else
        product.selfadjointView<Eigen::Lower>().rankUpdate(centred);
    // The solver reads the lower triangle, which is what rankUpdate filled.
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(product);
    if (solver.info() != Eigen::Success)
        throw std::runtime_error("the eigendecomposition of the shape covariance did not converge");

    // Eigen orders eigenvalues ascending; the model wants them descending.
    const Eigen::VectorXd eigenvalues = solver.eigenvalues().reverse();
    const Eigen::MatrixXd eigenvectors = solver.eigenvectors().rowwise().reverse();
    const double largest = std::max(eigenvalues(0), 0.0);
    // Below this an eigenvalue is rounding noise of the product, not variance of the shapes.
    const double negligible = largest * 1e-12 * static_cast<double>(std::max(samples, dimension));
    Eigen::Index kept = 0;
    while (kept < eigenvalues.size() && kept < samples - 1 && eigenvalues(kept) > negligible)
        ++kept;
    if (requestedModes > 0)
        kept = std::min<Eigen::Index>(kept, requestedModes);

    if (throughGram) {
        // mode_k = centred * v_k / sqrt(lambda_k), computed block of rows by block of rows so that
        // the modes overwrite the shapes they come from without a second matrix of that size.
        const Eigen::MatrixXd weights =
            eigenvectors.leftCols(kept) * eigenvalues.head(kept).cwiseSqrt().cwiseInverse().asDiagonal();
        constexpr Eigen::Index blockRows = 1024;
        for (Eigen::Index row = 0; row < dimension; row += blockRows) {
            const Eigen::Index rows = std::min(blockRows, dimension - row);
            const Eigen::MatrixXd block = centred.middleRows(row, rows) * weights;
            centred.middleRows(row, rows).leftCols(kept) = block;
        }
    }
    else {
        centred.leftCols(kept) = eigenvectors.leftCols(kept);
    }
    for (Eigen::Index k = 0; k < kept; ++k) {
        // A sign convention, so that the same data always gives the same modes.
        Eigen::Index largestComponent = 0;
        centred.col(k).cwiseAbs().maxCoeff(&largestComponent);
        if (centred(largestComponent, k) < 0)
            centred.col(k) *= -1.0;
        centred.col(k).normalize();
    }
    return eigenvalues.head(kept) / static_cast<double>(samples - 1);
}

}  // namespace

GenerateLinearShapeModel::GenerateLinearShapeModel(const AnatomicalStructureCollection* meanShape)
    : m_meanShape(meanShape)
{
}

GenerateLinearShapeModel::~GenerateLinearShapeModel() = default;

std::unique_ptr<AnatomicalStructureCollection> GenerateLinearShapeModel::getMeanShape() const
{
    return m_updatedMean ? m_updatedMean->clone() : nullptr;
}

void GenerateLinearShapeModel::compute()
{
    mutableResults() = Properties("results");
    m_updatedMean.reset();
    output() = OwningDataList();
    setStatus(Unknown);

    const auto fail = [this](int status, std::string message) { setStatus(status, std::move(message)); };
    const auto cancelled = [this, &fail](double fraction, const std::string& step) {
        if (reportProgress(fraction, step))
            return false;
        fail(Cancelled, "cancelled");
        return true;
    };

    if (!m_meanShape)
        return fail(InvalidInput, "no mean shape was given");
    const Alignment alignmentKind = alignment.value();
    if (alignmentKind != Alignment::None && alignmentKind != Alignment::Rigid && alignmentKind != Alignment::Similarity)
        return fail(InvalidInput, fmt::format("alignment {} is none of 0 (none), 1 (rigid), 2 (similarity)",
                                              alignment.rawValue()));
    if (batchSize.value() < 1)
        return fail(InvalidInput, fmt::format("batchSize must be at least 1, not {}", batchSize.value()));
    if (numModes.value() < 0)
        return fail(InvalidInput, fmt::format("numModes must not be negative, not {}", numModes.value()));
    if (maxIterations.value() < 0)
        return fail(InvalidInput, fmt::format("maxIterations must not be negative, not {}", maxIterations.value()));
    if (!(tolerance.value() >= 0.0))
        return fail(InvalidInput, "tolerance must be a number of at least 0");
    const fs::path directory(inputDirectory.value());
    std::error_code error;
    if (directory.empty() || !fs::is_directory(directory, error))
        return fail(InvalidInput, fmt::format("inputDirectory '{}' is not a directory", directory.string()));

    Layout layout;
    try {
        layout = layoutOf(*m_meanShape);
    } catch (const std::invalid_argument& invalid) {
        return fail(InvalidInput, invalid.what());
    }
    const Eigen::Index numPoints = layout.numPoints;
    Coordinates templatePoints(3, numPoints);
    if (const auto reason = readShape(*m_meanShape, layout, ShapeView(templatePoints.data(), 3, numPoints)))
        return fail(InvalidInput, "the mean shape cannot be read: " + *reason);
    if (alignmentKind != Alignment::None && (numPoints < 3 || spread(templatePoints) == 0.0))
        return fail(InvalidInput, "the mean shape needs at least three distinct points to align shapes to it");

    std::vector<fs::path> files;
    try {
        files = dataFilesIn(directory);
    } catch (const fs::filesystem_error& listing) {
        return fail(InvalidInput, fmt::format("inputDirectory '{}' cannot be listed: {}", directory.string(),
                                              listing.code().message()));
    }
    const auto numFiles = static_cast<Eigen::Index>(files.size());

    // One row of three per point and shape: shape j's coordinates are the 3P numbers from row j*P
    // on, which is column j of the 3P x n view. The modes later overwrite this same memory, in
    // the point cloud layout of the output.
    Points storage(std::max<Eigen::Index>(numFiles, 1) * numPoints, 3);
    MatrixView shapes(storage.data(), 3 * numPoints, numFiles);
    const auto shapeAt = [&](Eigen::Index column) { return ShapeView(shapes.col(column).data(), 3, numPoints); };

    Properties& results = mutableResults();
    Coordinates target = templatePoints;
    Eigen::Index used = 0;
    const auto skip = [&](const fs::path& file, const std::string& reason) {
        logWarning(fmt::format("Skipping {}: {}", file.string(), reason));
        Properties* skipped = results.addSubProperties("skipped");
        skipped->setParam("file", file.string());
        skipped->setParam("reason", reason);
    };
    constexpr double readingShare = 0.8;
    const Eigen::Index perBatch = batchSize.value();
    for (Eigen::Index first = 0; first < numFiles; first += perBatch) {
        std::vector<std::pair<fs::path, std::unique_ptr<AnatomicalStructureCollection>>> batch;
        for (Eigen::Index i = first; i < std::min(first + perBatch, numFiles); ++i) {
            const fs::path& file = files[static_cast<std::size_t>(i)];
            const std::string step = fmt::format("Reading shape {} of {}: {}", i + 1, numFiles, file.string());
            if (cancelled(readingShare * static_cast<double>(i) / static_cast<double>(numFiles), step))
                return;
            logInfo(step);
            try {
                std::unique_ptr<Data> data = io::load(file);
                auto* collection = dynamic_cast<AnatomicalStructureCollection*>(data.get());
                if (!collection) {
                    skip(file, fmt::format("it holds a {}, not a collection", data->kindName()));
                    continue;
                }
                data.release();
                batch.emplace_back(file, std::unique_ptr<AnatomicalStructureCollection>(collection));
            } catch (const std::exception& failure) {
                skip(file, failure.what());
            }
        }
        for (auto& [file, collection] : batch) {
            if (const auto reason = readShape(*collection, layout, shapeAt(used))) {
                skip(file, *reason);
                continue;
            }
            if (!alignOnto(shapeAt(used), target, alignmentKind)) {
                skip(file, "its points all lie in one place, so it cannot be aligned");
                continue;
            }
            ++used;
        }
        batch.clear();
        if (updateMean.value() && used > 0)
            target = updatedMean(shapes, used, templatePoints, alignmentKind);
    }
    results.setParam("files", static_cast<int>(numFiles));
    results.setParam("shapes_used", static_cast<int>(used));
    results.setParam("files_skipped", static_cast<int>(numFiles - used));
    if (used < 2)
        return fail(InvalidInput, fmt::format("{} of {} files in '{}' gave a usable shape; a model needs at least two",
                                              used, numFiles, directory.string()));
    MatrixView aligned(storage.data(), 3 * numPoints, used);

    // Generalised Procrustes: realign every shape to the latest mean (earlier batches were aligned
    // to earlier estimates), re-estimate it, until it settles.
    int iterations = 0;
    bool converged = !updateMean.value();
    double meanChange = 0.0;
    if (updateMean.value()) {
        while (iterations < maxIterations.value()) {
            ++iterations;
            if (cancelled(readingShare + 0.1 * iterations / maxIterations.value(),
                          fmt::format("Aligning to the updated mean, iteration {}", iterations)))
                return;
            for (Eigen::Index j = 0; j < used; ++j)
                alignOnto(shapeAt(j), target, alignmentKind);
            const Coordinates next = updatedMean(aligned, used, templatePoints, alignmentKind);
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

    if (cancelled(0.9, "Computing the principal modes"))
        return;
    const Coordinates mean = averageOf(aligned, used, numPoints);
    aligned.colwise() -= Eigen::Map<const Eigen::VectorXd>(mean.data(), 3 * numPoints);
    const double totalVariance = aligned.squaredNorm() / static_cast<double>(used - 1);
    Eigen::VectorXd variances;
    try {
        variances = principalComponents(aligned, numModes.value());
    } catch (const std::runtime_error& failure) {
        return fail(Error, failure.what());
    }
    const auto kept = static_cast<int>(variances.size());
    storage.conservativeResize(static_cast<Eigen::Index>(kept) * numPoints, 3);

    results.setParam("num_points", static_cast<int>(numPoints));
    results.setParam("num_modes", kept);
    results.setParam("total_variance", totalVariance);
    double cumulative = 0.0;
    for (int k = 0; k < kept; ++k) {
        cumulative += variances(k);
        Properties* mode = results.addSubProperties("mode");
        mode->setParam("variance", variances(k));
        mode->setParam("standard_deviation", std::sqrt(variances(k)));
        mode->setParam("explained_variance", totalVariance > 0.0 ? variances(k) / totalVariance : 0.0);
        mode->setParam("cumulative_explained_variance", totalVariance > 0.0 ? cumulative / totalVariance : 0.0);
    }

    // The output: the mean shape at the model's mean, and the structure that carries the model.
    std::unique_ptr<AnatomicalStructureCollection> model = collectionAt(*m_meanShape, layout, mean);
    const auto* generic = dynamic_cast<const GenericASC*>(model.get());
    std::unique_ptr<AnatomicalStructure> carrier =
        std::make_unique<GenericAnatomicalStructure>(modelStructureIdentifier, generic && generic->is2D());
    carrier->pointclouds["mean"] = std::make_unique<PointCloud>(Points(mean.transpose()));
    auto& modesEntry = carrier->pointclouds["modes"];
    modesEntry = std::make_unique<PointCloud>(std::move(storage));
    Properties& description = modesEntry.editAttributes();
    description.setParam("num_modes", kept);
    description.setParam("num_points", static_cast<int>(numPoints));
    description.setParam("num_shapes", static_cast<int>(used));
    description.setParam("alignment", std::string(alignmentName(alignmentKind)));
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
    if (!model->addAnatomicalStructure(carrier))
        return fail(Error, fmt::format("a collection of kind {} does not take the model structure", model->kindName()));

    if (updateMean.value())
        m_updatedMean = collectionAt(*m_meanShape, layout, mean);
    output().add(std::move(model));
    reportProgress(1.0, "Done");
    logInfo(fmt::format("Shape model of {} shapes: {} modes over {} points", used, kept, numPoints));
    setStatus(Success);
}

}  // namespace corvaxis
