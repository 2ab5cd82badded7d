#include "CoreCodecs.h"

#include "corvaxis/core/Graph.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/SharedImageSet.h"

#include <climits>
#include <set>

namespace corvaxis::io {

namespace {

/// Row-major Eigen matrices as (rows, columns) arrays.
template <typename Matrix>
void writeRows(Group& group, const std::string& name, const Matrix& matrix)
{
    static_assert(Matrix::IsRowMajor || Matrix::ColsAtCompileTime == 1);
    group.writeArray(name, matrix.data(),
                     {static_cast<std::uint64_t>(matrix.rows()), static_cast<std::uint64_t>(matrix.cols())});
}

/// Reads (rows, columns) into a row-major matrix; columns < 0 accepts any number of them.
template <typename Matrix>
Matrix readRows(const Group& group, const std::string& name, long long columns)
{
    Matrix matrix;
    group.readArray(name, elementTypeOf<typename Matrix::Scalar>(), 2, [&](const Dimensions& dims) {
        if (columns >= 0 && dims[1] != static_cast<std::uint64_t>(columns))
            throw Hdf5Error("array '" + group.path() + "/" + name + "' does not have " + std::to_string(columns) +
                            " columns");
        matrix.resize(static_cast<Eigen::Index>(dims[0]), static_cast<Eigen::Index>(dims[1]));
        return static_cast<void*>(matrix.data());
    });
    return matrix;
}

/// Positions (and normals) must be finite in a file as in the constructors of the objects.
Points readFiniteRows(const Group& group, const std::string& name)
{
    Points points = readRows<Points>(group, name, 3);
    if (!points.allFinite())
        throw Hdf5Error("array '" + group.path() + "/" + name + "' holds NaN or infinite coordinates");
    return points;
}

bool readFlag(const Group& group, const std::string& name)
{
    const auto stored = group.scalar<std::uint8_t>(name);
    if (stored > 1)
        throw Hdf5Error("attribute '" + name + "' of '" + group.path() + "' is no truth value");
    return stored == 1;
}

void writeOptionalRows(Group& group, const std::string& name, const std::optional<Points>& rows)
{
    if (rows)
        writeRows(group, name, *rows);
}

std::optional<Points> readOptionalRows(const Group& group, const std::string& name)
{
    if (!group.has(name))
        return std::nullopt;
    return readFiniteRows(group, name);
}

ElementType elementTypeOfPixels(PixelType type)
{
    switch (type) {
    case PixelType::UInt8: return ElementType::UInt8;
    case PixelType::Int8: return ElementType::Int8;
    case PixelType::UInt16: return ElementType::UInt16;
    case PixelType::Int16: return ElementType::Int16;
    case PixelType::UInt32: return ElementType::UInt32;
    case PixelType::Int32: return ElementType::Int32;
    case PixelType::Float: return ElementType::Float32;
    case PixelType::Double: return ElementType::Float64;
    }
    throw std::invalid_argument("unknown pixel type");
}

/// The names and colours a label image gives its values, in a group "labels" beside the pixels
/// (absent when there are none): "named" (int32 (N,)) with the text attribute "names" (N,), and
/// "colored" (int32 (M,)) with "colors" (float64 (M, 4)), each pair absent when empty.
void writeLabels(const Image& image, Group& stored)
{
    if (image.labelNames.empty() && image.labelColors.empty())
        return;
    Group labels = stored.createGroup("labels");
    if (!image.labelNames.empty()) {
        std::vector<std::int32_t> values;
        std::vector<std::string> names;
        for (const auto& [value, name] : image.labelNames) {
            values.push_back(value);
            names.push_back(name);
        }
        labels.writeArray("named", values.data(), {values.size()});
        labels.setTexts("names", names);
    }
    if (!image.labelColors.empty()) {
        std::vector<std::int32_t> values;
        std::vector<double> colors;
        for (const auto& [value, color] : image.labelColors) {
            values.push_back(value);
            colors.insert(colors.end(), color.data(), color.data() + 4);
        }
        labels.writeArray("colored", values.data(), {values.size()});
        labels.writeArray("colors", colors.data(), {values.size(), 4});
    }
}

void readLabels(const Group& stored, Image& image)
{
    if (!stored.has("labels"))
        return;
    const Group labels = stored.openGroup("labels");
    const auto labelValues = [&](const std::string& name) {
        Dimensions dims;
        std::vector<std::int32_t> values = labels.readArray<std::int32_t>(name, 1, dims);
        if (std::set<std::int32_t>(values.begin(), values.end()).size() != values.size())
            throw Hdf5Error("array '" + labels.path() + "/" + name + "' repeats a label value");
        return values;
    };
    if (labels.has("named")) {
        const std::vector<std::int32_t> values = labelValues("named");
        const std::vector<std::string> names = labels.texts("names");
        if (names.size() != values.size())
            throw Hdf5Error("attribute 'names' of '" + labels.path() + "' does not have one name per label");
        for (std::size_t index = 0; index < values.size(); ++index)
            image.labelNames[values[index]] = names[index];
    }
    if (labels.has("colored")) {
        const std::vector<std::int32_t> values = labelValues("colored");
        Dimensions dims;
        const std::vector<double> colors = labels.readArray<double>("colors", 2, dims);
        if (dims[0] != values.size() || dims[1] != 4)
            throw Hdf5Error("array '" + labels.path() + "/colors' does not have one RGBA colour per label");
        for (std::size_t index = 0; index < values.size(); ++index) {
            const Vec4 color(colors[4 * index], colors[4 * index + 1], colors[4 * index + 2], colors[4 * index + 3]);
            if (!(color.array() >= 0.0).all() || !(color.array() <= 1.0).all())
                throw Hdf5Error("array '" + labels.path() + "/colors' holds a component outside [0, 1]");
            image.labelColors[values[index]] = color;
        }
    }
}

class ImageSetCodec : public DataCodec {
public:
    std::string kindName() const override { return "SharedImageSet"; }

    void write(const Data& data, Group& group) const override
    {
        const auto& set = static_cast<const SharedImageSet&>(data);
        group.setScalar<std::int32_t>("modality", static_cast<std::int32_t>(set.modality()));
        group.setScalar<std::int32_t>("selected_index", set.selectedIndex());
        Group images = group.createGroup("images");
        for (int i = 0; i < set.size(); ++i) {
            const Image& image = *set.get(i);
            Group stored = images.createGroup(std::to_string(i));
            stored.setText("pixel_type", pixelTypeName(image.pixelType()));
            const auto& [width, height, depth] = image.dimensions();
            // Depth, height, width, channel: the order of the pixel memory, slowest first.
            stored.writeArray("pixels", elementTypeOfPixels(image.pixelType()), image.data(),
                              {static_cast<std::uint64_t>(depth), static_cast<std::uint64_t>(height),
                               static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(image.channels())});
            writeVector(stored, "spacing", image.spacing.data(), 3);
            writeMatrix(stored, "matrix", image.matrix);
            writeLabels(image, stored);
        }
    }

    std::unique_ptr<Data> read(const Group& group) const override
    {
        auto set = std::make_unique<SharedImageSet>();
        for (const Group& stored : group.openGroup("images").indexedGroups()) {
            const PixelType type = pixelType(stored);
            std::unique_ptr<Image> image;
            stored.readArray("pixels", elementTypeOfPixels(type), 4, [&](const Dimensions& dims) {
                for (std::uint64_t extent : dims)
                    if (extent < 1 || extent > INT_MAX)
                        throw Hdf5Error("array '" + stored.path() + "/pixels' has an extent outside [1, INT_MAX]");
                image = Image::forOverwrite(
                    type, std::array<int, 3>{static_cast<int>(dims[2]), static_cast<int>(dims[1]), static_cast<int>(dims[0])},
                    static_cast<int>(dims[3]));
                return static_cast<void*>(image->data());
            });
            readVector(stored, "spacing", image->spacing.data(), 3);
            if (!image->spacing.allFinite() || (image->spacing.array() <= 0.0).any())
                throw Hdf5Error("attribute 'spacing' of '" + stored.path() + "' is not positive and finite");
            image->matrix = readMatrix(stored, "matrix");
            readLabels(stored, *image);
            set->add(std::move(image));
        }
        const auto modality = group.scalar<std::int32_t>("modality");
        if (modality < static_cast<int>(Modality::NA) || modality > static_cast<int>(Modality::Distance))
            throw Hdf5Error("attribute 'modality' of '" + group.path() + "' names no known modality");
        set->setModality(static_cast<Modality>(modality));
        const auto selected = group.scalar<std::int32_t>("selected_index");
        // An empty set has nothing to select; its index stays 0.
        if (selected != 0 || set->size() > 0) {
            if (selected < 0 || selected >= set->size())
                throw Hdf5Error("attribute 'selected_index' of '" + group.path() + "' is out of range");
            set->setSelectedIndex(selected);
        }
        return set;
    }

private:
    static PixelType pixelType(const Group& stored)
    {
        const std::string name = stored.text("pixel_type");
        for (int i = static_cast<int>(PixelType::UInt8); i <= static_cast<int>(PixelType::Double); ++i)
            if (name == pixelTypeName(static_cast<PixelType>(i)))
                return static_cast<PixelType>(i);
        throw Hdf5Error("attribute 'pixel_type' of '" + stored.path() + "' names no known pixel type ('" + name + "')");
    }
};

class MeshCodec : public DataCodec {
public:
    std::string kindName() const override { return "Mesh"; }

    void write(const Data& data, Group& group) const override
    {
        const auto& mesh = static_cast<const Mesh&>(data);
        writeRows(group, "vertices", mesh.vertices());
        writeRows(group, "faces", mesh.faces());
        writeOptionalRows(group, "normals", mesh.normals());
    }

    std::unique_ptr<Data> read(const Group& group) const override
    {
        // One statement each: arguments of a call have no order, and messages should name the first problem.
        Points vertices = readFiniteRows(group, "vertices");
        Triangles faces = readRows<Triangles>(group, "faces", 3);
        auto mesh = std::make_unique<Mesh>(std::move(vertices), std::move(faces));
        if (auto normals = readOptionalRows(group, "normals"))
            mesh->setNormals(std::move(normals));
        return mesh;
    }
};

class PointCloudCodec : public DataCodec {
public:
    std::string kindName() const override { return "PointCloud"; }

    void write(const Data& data, Group& group) const override
    {
        const auto& cloud = static_cast<const PointCloud&>(data);
        writeRows(group, "points", cloud.points());
        writeOptionalRows(group, "normals", cloud.normals());
    }

    std::unique_ptr<Data> read(const Group& group) const override
    {
        Points points = readFiniteRows(group, "points");
        return std::make_unique<PointCloud>(std::move(points), readOptionalRows(group, "normals"));
    }
};

class GraphCodec : public DataCodec {
public:
    std::string kindName() const override { return "Graph"; }

    void write(const Data& data, Group& group) const override
    {
        const auto& graph = static_cast<const Graph&>(data);
        group.setScalar<std::uint8_t>("directed", graph.directed() ? 1 : 0);
        writeRows(group, "nodes", graph.nodes());
        writeRows(group, "edges", graph.edges());
        writeFeatures(group.createGroup("node_features"), graph.nodeFeatures());
        writeFeatures(group.createGroup("edge_features"), graph.edgeFeatures());
    }

    std::unique_ptr<Data> read(const Group& group) const override
    {
        const bool directed = readFlag(group, "directed");
        Points nodes = readFiniteRows(group, "nodes");
        Edges edges = readRows<Edges>(group, "edges", 2);
        auto graph = std::make_unique<Graph>(std::move(nodes), std::move(edges), directed);
        for (const Group& stored : group.openGroup("node_features").indexedGroups()) {
            const std::string name = featureName(stored, graph->nodeFeatures());
            graph->setNodeFeature(name, readRows<FeatureMatrix>(stored, "values", -1));
        }
        for (const Group& stored : group.openGroup("edge_features").indexedGroups()) {
            const std::string name = featureName(stored, graph->edgeFeatures());
            graph->setEdgeFeature(name, readRows<FeatureMatrix>(stored, "values", -1));
        }
        return graph;
    }

private:
    // Feature names are free text, so they are attributes of numbered groups rather than link names.
    static void writeFeatures(Group features, const Graph::Features& values)
    {
        std::size_t index = 0;
        for (const auto& [name, matrix] : values) {
            Group stored = features.createGroup(std::to_string(index++));
            stored.setText("name", name);
            writeRows(stored, "values", matrix);
        }
    }

    static std::string featureName(const Group& stored, const Graph::Features& known)
    {
        std::string name = stored.text("name");
        if (known.contains(name))
            throw Hdf5Error("'" + stored.path() + "' repeats feature '" + name + "'");
        return name;
    }
};

}  // namespace

std::vector<std::shared_ptr<const DataCodec>> coreCodecs()
{
    return {std::make_shared<ImageSetCodec>(), std::make_shared<MeshCodec>(), std::make_shared<PointCloudCodec>(),
            std::make_shared<GraphCodec>()};
}

std::map<std::string, ComponentFactory> coreComponents()
{
    return {{"LabelDataComponent", [] { return std::make_unique<LabelDataComponent>(); }}};
}

}  // namespace corvaxis::io
