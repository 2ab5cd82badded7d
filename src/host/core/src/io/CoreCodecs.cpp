#include "CoreCodecs.h"

#include "corvaxis/core/Graph.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/SharedImageSet.h"

#include <climits>

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
