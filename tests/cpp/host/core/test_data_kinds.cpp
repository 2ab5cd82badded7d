#include "corvaxis/core/Graph.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/SharedImageSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

using namespace corvaxis;

namespace {
// A tetrahedron with outward faces: three in the coordinate planes, one slanted.
Mesh tetrahedron()
{
    Points vertices(4, 3);
    vertices << 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1;
    Triangles faces(4, 3);
    faces << 0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3;
    return Mesh(vertices, faces);
}

Points points(std::initializer_list<double> values)
{
    Points result(static_cast<Eigen::Index>(values.size() / 3), 3);
    std::copy(values.begin(), values.end(), result.data());
    return result;
}

struct ChangeRecorder : SignalReceiver {
    explicit ChangeRecorder(Data& data)
    {
        data.signalChanged.connect(this, [this](const Data* changed) { seen.push_back(changed); });
    }
    std::vector<const Data*> seen;
};
}  // namespace

TEST(DataMatrix, SetMatrixStoresAndSignals)
{
    Mesh mesh;
    ChangeRecorder recorder(mesh);
    EXPECT_EQ(mesh.matrix(), Mat4::Identity());
    Mat4 matrix = Mat4::Identity();
    matrix(1, 3) = 4.0;
    mesh.setMatrix(matrix);
    EXPECT_EQ(mesh.matrix(), matrix);
    EXPECT_EQ(recorder.seen, (std::vector<const Data*>{&mesh}));

    // A copy has the matrix but not the connections.
    Mesh copy(mesh);
    EXPECT_EQ(copy.matrix(), matrix);
    copy.setMatrix(Mat4::Identity());
    EXPECT_EQ(recorder.seen.size(), 1u);
    EXPECT_EQ(mesh.matrix(), matrix);
}

TEST(MeshData, CopiesAreDeepAndIndependent)
{
    Mesh original = tetrahedron();
    original.setName("vertebra");
    original.computeNormals();
    Mesh copy(original);
    EXPECT_EQ(copy.vertices(), original.vertices());
    EXPECT_EQ(copy.faces(), original.faces());
    ASSERT_TRUE(copy.normals().has_value());
    EXPECT_EQ(copy.name(), "vertebra");

    copy.setGeometry(points({0, 0, 0, 1, 1, 1, 2, 2, 2}), Triangles::Zero(1, 3));
    EXPECT_EQ(original.numVertices(), 4);
    EXPECT_EQ(original.numFaces(), 4);
    EXPECT_TRUE(original.normals().has_value());
    EXPECT_FALSE(copy.normals().has_value());

    auto cloned = original.cloneData();
    ASSERT_NE(dynamic_cast<Mesh*>(cloned.get()), nullptr);
    EXPECT_EQ(static_cast<Mesh&>(*cloned).vertices(), original.vertices());
    EXPECT_EQ(cloned->kind(), MeshKind);
}

TEST(MeshData, AssignmentSignalsOnceTheNewGeometryIsInPlace)
{
    Mesh target;
    const Mesh source = tetrahedron();
    int verticesSeen = -1;
    struct Receiver : SignalReceiver {} receiver;
    target.signalChanged.connect(&receiver, [&](const Data* data) {
        verticesSeen = static_cast<const Mesh*>(data)->numVertices();
    });
    target = source;
    EXPECT_EQ(target.numVertices(), 4);
    EXPECT_EQ(verticesSeen, 4);
}

TEST(MeshData, BadFacesAndNormalsAreRejected)
{
    const Points vertices = points({0, 0, 0, 1, 0, 0, 0, 1, 0});
    Triangles outside(1, 3);
    outside << 0, 1, 3;
    Triangles negative(1, 3);
    negative << 0, -1, 2;
    EXPECT_THROW(Mesh(vertices, outside), std::invalid_argument);
    EXPECT_THROW(Mesh(vertices, negative), std::invalid_argument);

    Mesh mesh = tetrahedron();
    EXPECT_THROW(mesh.setGeometry(vertices, outside), std::invalid_argument);
    EXPECT_EQ(mesh.numVertices(), 4);
    EXPECT_THROW(mesh.setNormals(Points::Zero(3, 3)), std::invalid_argument);
    EXPECT_FALSE(mesh.normals().has_value());
    EXPECT_NO_THROW(Mesh(Points(0, 3), Triangles(0, 3)));
}

TEST(MeshData, ComputedNormalsWeighFacesByArea)
{
    Mesh mesh = tetrahedron();
    ChangeRecorder recorder(mesh);
    mesh.computeNormals();
    ASSERT_TRUE(mesh.normals().has_value());
    const Points& normals = *mesh.normals();
    const double third = 1.0 / std::sqrt(3.0);
    // Cross products weigh by area: at each outer corner the slanted face cancels the two axis faces.
    EXPECT_TRUE(normals.row(0).isApprox(Eigen::RowVector3d(-third, -third, -third)));
    EXPECT_TRUE(normals.row(1).isApprox(Eigen::RowVector3d(1, 0, 0)));
    EXPECT_TRUE(normals.row(2).isApprox(Eigen::RowVector3d(0, 1, 0)));
    EXPECT_TRUE(normals.row(3).isApprox(Eigen::RowVector3d(0, 0, 1)));
    EXPECT_EQ(recorder.seen.size(), 1u);

    // A vertex that no face uses gets a zero normal, not NaN.
    Triangles one(1, 3);
    one << 0, 1, 2;
    Mesh loose(points({0, 0, 0, 1, 0, 0, 0, 1, 0, 5, 5, 5}), one);
    loose.computeNormals();
    EXPECT_TRUE(loose.normals()->row(0).isApprox(Eigen::RowVector3d(0, 0, 1)));
    EXPECT_EQ(loose.normals()->row(3), Eigen::RowVector3d::Zero());
}

TEST(PointCloudData, NormalsOptionalAndCopiesIndependent)
{
    EXPECT_THROW(PointCloud(points({0, 0, 0, 1, 1, 1}), points({0, 0, 1})), std::invalid_argument);
    PointCloud bare(points({0, 0, 0}));
    EXPECT_FALSE(bare.normals().has_value());

    PointCloud original(points({0, 0, 0, 1, 1, 1}), points({0, 0, 1, 0, 1, 0}));
    PointCloud copy(original);
    copy.setPoints(points({9, 9, 9}));
    EXPECT_EQ(original.numPoints(), 2);
    ASSERT_TRUE(original.normals().has_value());
    EXPECT_EQ(original.normals()->row(1), Eigen::RowVector3d(0, 1, 0));
    EXPECT_FALSE(copy.normals().has_value());

    EXPECT_THROW(copy.setPoints(points({1, 1, 1}), points({0, 0, 1, 0, 0, 1})), std::invalid_argument);
    EXPECT_EQ(copy.points().row(0), Eigen::RowVector3d(9, 9, 9));

    PointCloud assigned;
    assigned = original;
    EXPECT_EQ(assigned.points(), original.points());
}

TEST(GraphData, EdgesAndFeaturesAreChecked)
{
    const Points nodes = points({0, 0, 0, 1, 0, 0, 2, 0, 0});
    Edges outside(1, 2);
    outside << 0, 3;
    EXPECT_THROW(Graph(nodes, outside), std::invalid_argument);
    outside << -1, 0;
    EXPECT_THROW(Graph(nodes, outside), std::invalid_argument);

    Edges edges(2, 2);
    edges << 0, 1, 1, 2;
    Graph graph(nodes, edges, true);
    EXPECT_THROW(graph.setNodeFeature("radius", FeatureMatrix::Zero(2, 1)), std::invalid_argument);
    EXPECT_THROW(graph.setEdgeFeature("length", FeatureMatrix::Zero(3, 1)), std::invalid_argument);
    EXPECT_TRUE(graph.nodeFeatures().empty());
    EXPECT_TRUE(graph.edgeFeatures().empty());
    EXPECT_NO_THROW(graph.setEdgeFeature("length", FeatureMatrix::Ones(2, 1)));
    EXPECT_TRUE(graph.removeEdgeFeature("length"));
    EXPECT_FALSE(graph.removeEdgeFeature("length"));
}

TEST(GraphData, CopiesAreDeepAndIndependent)
{
    Edges edges(1, 2);
    edges << 0, 1;
    Graph original(points({0, 0, 0, 1, 0, 0}), edges, true);
    original.setNodeFeature("radius", FeatureMatrix::Constant(2, 1, 0.5));
    original.setEdgeFeature("weight", FeatureMatrix::Constant(1, 2, 3.0));

    Graph copy(original);
    EXPECT_TRUE(copy.directed());
    EXPECT_EQ(copy.nodes(), original.nodes());
    EXPECT_EQ(copy.edges(), original.edges());
    EXPECT_EQ(copy.edgeFeatures().at("weight"), original.edgeFeatures().at("weight"));
    copy.setNodeFeature("radius", FeatureMatrix::Constant(2, 1, 9.0));
    copy.removeEdgeFeature("weight");
    EXPECT_EQ(original.nodeFeatures().at("radius")(0, 0), 0.5);
    EXPECT_EQ(original.edgeFeatures().count("weight"), 1u);
    EXPECT_FALSE(Graph(points({0, 0, 0}), Edges(0, 2)).directed());
}

namespace {
std::unique_ptr<Image> filledImage(std::uint8_t value)
{
    auto image = std::make_unique<Image>(PixelType::UInt8, std::array<int, 3>{2, 3, 1});
    std::memset(image->data(), value, image->byteSize());
    return image;
}
}  // namespace

TEST(SharedImageSetData, GetMinusOneIsTheCurrentImage)
{
    SharedImageSet set;
    EXPECT_EQ(set.get(-1), nullptr);
    set.add(filledImage(1));
    set.add(filledImage(2));
    EXPECT_EQ(set.size(), 2);
    EXPECT_EQ(set.get(-1), set.get(0));
    set.setSelectedIndex(1);
    EXPECT_EQ(set.get(-1), set.get(1));
    EXPECT_EQ(set.get(), set.get(1));
    EXPECT_EQ(set.get(2), nullptr);
    EXPECT_EQ(set.get(-2), nullptr);
    EXPECT_THROW(set.setSelectedIndex(2), std::out_of_range);
    EXPECT_THROW(set.add(nullptr), std::invalid_argument);
    EXPECT_EQ(set.get(0)->byteSize(), 6u);
}

TEST(SharedImageSetData, CloneIsIndependentAndEmptySetsCloneToNothing)
{
    EXPECT_EQ(SharedImageSet().clone(), nullptr);

    SharedImageSet set;
    set.add(filledImage(1));
    set.add(filledImage(2));
    set.setSelectedIndex(1);
    set.setModality(Modality::Label);
    set.setName("labels");
    set.get(0)->spacing = Vec3(0.5, 0.5, 2.0);

    std::unique_ptr<SharedImageSet> clone = set.clone();
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->size(), 2);
    EXPECT_EQ(clone->modality(), Modality::Label);
    EXPECT_EQ(clone->name(), "labels");
    EXPECT_EQ(clone->get(-1), clone->get(1));
    EXPECT_EQ(*clone->get(0), *set.get(0));
    EXPECT_NE(clone->get(0), set.get(0));

    clone->get(0)->data()[0] = std::byte{42};
    clone->get(0)->spacing = Vec3::Ones();
    EXPECT_EQ(set.get(0)->data()[0], std::byte{1});
    EXPECT_EQ(set.get(0)->spacing, Vec3(0.5, 0.5, 2.0));
    EXPECT_NE(*clone->get(0), *set.get(0));

    EXPECT_EQ(static_cast<int>(Modality::Label), 8);
    EXPECT_EQ(set.cloneData()->kind(), ImageSetKind);
}

TEST(SharedImageSetData, ImagesRejectEmptyShapes)
{
    EXPECT_THROW(Image(PixelType::Float, {0, 1, 1}), std::invalid_argument);
    EXPECT_THROW(Image(PixelType::Float, {1, 1, 1}, 0), std::invalid_argument);
    const Image rgb(PixelType::UInt16, {4, 2, 1}, 3);
    EXPECT_EQ(rgb.numPixels(), 8u);
    EXPECT_EQ(rgb.byteSize(), 8u * 3u * 2u);
    EXPECT_STREQ(pixelTypeName(PixelType::Float), "float32");
    EXPECT_STREQ(pixelTypeName(static_cast<PixelType>(99)), "unknown");
}

TEST(SharedImageSetData, ImagesOfEverySizeStartZeroedAndCopyDeeply)
{
    // Small buffers come from the ordinary heap, large ones from the huge-page path; reuse of a
    // freed buffer must not leak old pixels into a new image.
    for (const int depth : {1, 64}) {
        const std::array<int, 3> dimensions{256, 256, depth};
        {
            auto dirty = Image::forOverwrite(PixelType::UInt8, dimensions);
            std::fill_n(dirty->data(), dirty->byteSize(), std::byte{0xAB});
        }
        const Image fresh(PixelType::UInt8, dimensions);
        EXPECT_TRUE(std::all_of(fresh.data(), fresh.data() + fresh.byteSize(), [](std::byte b) { return b == std::byte{0}; }));
        auto written = Image::forOverwrite(PixelType::UInt8, dimensions);
        std::fill_n(written->data(), written->byteSize(), std::byte{7});
        Image copy = *written;
        written->data()[0] = std::byte{8};
        EXPECT_EQ(copy.data()[0], std::byte{7});
        EXPECT_EQ(copy.data()[copy.byteSize() - 1], std::byte{7});
    }
}
