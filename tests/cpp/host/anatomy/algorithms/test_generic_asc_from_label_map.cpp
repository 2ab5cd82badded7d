#include "../../core/surface/SurfaceChecks.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/algorithms/GenericASCFromMultiLabelMap.h"
#include "corvaxis/core/Log.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/Geometry>

#include <numbers>

using namespace corvaxis;
using namespace corvaxis::test;
using AnatomicalStructureProcessing::GenericASCFromMultiLabelMap;

namespace {

struct Ellipsoid {
    Vec3 centre;      // voxel index
    Vec3 semiAxes;    // voxels
    std::int32_t label;
};

/// A label image of the given extent with ellipsoids painted in (later ones over earlier ones).
template <typename Pixel = std::uint8_t>
std::unique_ptr<SharedImageSet> labelImage(std::array<int, 3> dimensions, const std::vector<Ellipsoid>& shapes,
                                           PixelType type = PixelType::UInt8)
{
    auto image = std::make_unique<Image>(type, dimensions);
    auto* pixels = reinterpret_cast<Pixel*>(image->data());
    for (int z = 0; z < dimensions[2]; ++z)
        for (int y = 0; y < dimensions[1]; ++y)
            for (int x = 0; x < dimensions[0]; ++x)
                for (const Ellipsoid& shape : shapes)
                    if (((Vec3(x, y, z) - shape.centre).array() / shape.semiAxes.array()).square().sum() <= 1.0)
                        pixels[(static_cast<std::size_t>(z) * dimensions[1] + y) * dimensions[0] + x] =
                            static_cast<Pixel>(shape.label);
    auto set = std::make_unique<SharedImageSet>();
    set->add(std::move(image));
    set->setModality(Modality::Label);
    return set;
}

LabelDataComponent labelsNamed(const std::map<int, std::string>& names)
{
    LabelDataComponent labels;
    for (const auto& [label, name] : names) {
        LabelConfig config = LabelDataComponent::defaultLabelConfig(label);
        config.name = name;
        labels.setLabelConfig(label, config);
    }
    return labels;
}

/// Runs the conversion as the Python function does and returns the collection it made.
std::unique_ptr<GenericASC> convert(const SharedImageSet& images, const LabelDataComponent* labels,
                                    bool includeUnnamed = false, int* status = nullptr)
{
    GenericASCFromMultiLabelMap algorithm(&images, nullptr, labels);
    algorithm.p_includeUnnamedLabels = includeUnnamed;
    algorithm.compute();
    if (status)
        *status = algorithm.status();
    auto collections = algorithm.takeOutput().extractAll<GenericASC>();
    return collections.empty() ? nullptr : std::move(collections.front());
}

const Mesh& surfaceOf(GenericASC& collection, const char* name)
{
    AnatomicalStructure* structure = collection.anatomicalStructureByIdentifier(name);
    EXPECT_NE(structure, nullptr) << name;
    return *structure->meshes["surface"].value();
}

template <typename T>
T attribute(GenericASC& collection, const std::string& name, const std::string& key)
{
    T value{};
    EXPECT_TRUE(collection.anatomicalStructureByIdentifier(name)->meshes["surface"].attributes().param(key, value)) << key;
    return value;
}

struct GeometryCase {
    std::string name;
    Vec3 spacing;
    Mat4 matrix;
};

std::vector<GeometryCase> geometryCases()
{
    Mat4 rotated = Mat4::Identity();
    rotated.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.5, Vec3(1, -1, 2).normalized()).toRotationMatrix();
    rotated.topRightCorner<3, 1>() = Vec3(-120.0, 35.5, 8.0);
    Mat4 leftHanded = rotated;
    leftHanded.col(0) *= -1.0;
    return {{"unit", Vec3::Ones(), Mat4::Identity()},
            {"anisotropic", Vec3(0.8, 1.1, 2.5), Mat4::Identity()},
            {"rotated", Vec3(0.7, 0.7, 1.5), rotated},
            {"left handed", Vec3(1.2, 0.9, 1.0), leftHanded}};
}

class LabelMapGeometryTest : public ::testing::TestWithParam<GeometryCase> {};

}  // namespace

TEST_P(LabelMapGeometryTest, EllipsoidVolumeAndCentroidMatchTheAnalyticValues)
{
    const GeometryCase& geometry = GetParam();
    const Vec3 centre(20.3, 18.6, 17.2), semiAxes(14.0, 12.0, 13.0);
    auto images = labelImage({42, 38, 36}, {{centre, semiAxes, 5}});
    images->get(0)->spacing = geometry.spacing;
    images->get(0)->matrix = geometry.matrix;
    const LabelDataComponent labels = labelsNamed({{5, "liver"}});
    auto collection = convert(*images, &labels);
    ASSERT_TRUE(collection);
    ASSERT_EQ(collection->numAnatomicalStructures(), 1);

    const Mesh& mesh = surfaceOf(*collection, "liver");
    EXPECT_EQ(expectClosedOrientedManifold(mesh.vertices(), mesh.faces()), 1);
    const double analytic = 4.0 / 3.0 * std::numbers::pi * semiAxes.prod() * geometry.spacing.prod();
    EXPECT_NEAR(surface::enclosedVolume(mesh.vertices(), mesh.faces()), analytic, 0.03 * analytic);
    EXPECT_NEAR(attribute<double>(*collection, "liver", "volume"), analytic, 0.03 * analytic);
    EXPECT_EQ(mesh.matrix(), Mat4::Identity());

    const Vec4 expectedCentre = images->voxelToWorld() * centre.homogeneous();
    const Vec3 centroid = collection->anatomicalStructureByIdentifier("liver")->keypoints["centroid"].value();
    EXPECT_LT((centroid - expectedCentre.head<3>()).norm(), 0.5 * geometry.spacing.minCoeff());
    EXPECT_EQ(attribute<int>(*collection, "liver", "label"), 5);
    EXPECT_EQ(attribute<Vec4>(*collection, "liver", "color"), LabelDataComponent::defaultLabelConfig(5).color);
}

INSTANTIATE_TEST_SUITE_P(Geometries, LabelMapGeometryTest, ::testing::ValuesIn(geometryCases()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST(LabelMapStructures, LabelsBecomeStructuresByTheirNames)
{
    // Label 1 touches the volume's border; 2 and 3 share a name; 4 is not named; 7 is absent.
    auto images = labelImage({30, 20, 16}, {{{2, 10, 8}, {5, 5, 5}, 1},
                                            {{12, 10, 8}, {3, 3, 3}, 3},
                                            {{20, 10, 8}, {3, 4, 3}, 2},
                                            {{26, 10, 8}, {2, 2, 2}, 4}});
    const LabelDataComponent labels = labelsNamed({{0, "background"}, {1, "liver"}, {2, "kidney"}, {3, "kidney"},
                                                   {7, "spleen"}});
    std::vector<std::string> messages;
    const std::size_t sink = Log::addSink([&](const Log::Record& record) { messages.push_back(record.message); });
    const int previousLevel = Log::g_globalLevel;
    Log::g_globalLevel = Log::Info;
    auto collection = convert(*images, &labels);
    Log::g_globalLevel = previousLevel;
    Log::removeSink(sink);

    ASSERT_TRUE(collection);
    ASSERT_EQ(collection->numAnatomicalStructures(), 2);
    EXPECT_EQ(collection->anatomicalStructure(0)->identifier(), "liver");
    EXPECT_EQ(collection->anatomicalStructure(1)->identifier(), "kidney");
    for (const char* name : {"liver", "kidney"}) {
        const Mesh& mesh = surfaceOf(*collection, name);
        EXPECT_GT(surface::enclosedVolume(mesh.vertices(), mesh.faces()), 0.0);
        EXPECT_EQ(expectClosedOrientedManifold(mesh.vertices(), mesh.faces()), std::string(name) == "kidney" ? 2 : 1) << name;
    }
    // The smaller label gives the merged structure its label and colour.
    EXPECT_EQ(attribute<int>(*collection, "kidney", "label"), 2);
    EXPECT_EQ(attribute<Vec4>(*collection, "kidney", "color"), LabelDataComponent::defaultLabelConfig(2).color);
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.find("label 7 ('spleen')") != std::string::npos; }));

    auto everything = convert(*images, &labels, true);
    ASSERT_TRUE(everything);
    EXPECT_EQ(everything->numAnatomicalStructures(), 3);
    EXPECT_NE(everything->anatomicalStructureByIdentifier("Label 4"), nullptr);

    const LabelDataComponent none;
    auto empty = convert(*images, &none);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->numAnatomicalStructures(), 0);
}

TEST(LabelMapStructures, VoxelCountsAndCentroidsAreExactForBoxes)
{
    auto images = labelImage({10, 10, 10}, {});
    auto* pixels = reinterpret_cast<std::uint8_t*>(images->get(0)->data());
    for (int z = 2; z < 5; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 7; x < 10; ++x)
                pixels[(z * 10 + y) * 10 + x] = 9;
    images->get(0)->spacing = Vec3(0.5, 2.0, 3.0);
    const LabelDataComponent labels = labelsNamed({{9, "box"}});
    auto collection = convert(*images, &labels);
    ASSERT_TRUE(collection);
    EXPECT_EQ(attribute<int>(*collection, "box", "voxel_count"), 36);
    EXPECT_DOUBLE_EQ(attribute<double>(*collection, "box", "volume"), 36 * 3.0);
    const Vec3 centroid = collection->anatomicalStructureByIdentifier("box")->keypoints["centroid"].value();
    EXPECT_TRUE(centroid.isApprox(Vec3(8 * 0.5, 1.5 * 2.0, 3 * 3.0))) << centroid.transpose();
}

TEST(LabelMapStructures, FailuresLeaveAStatusAndNoCollection)
{
    const LabelDataComponent labels = labelsNamed({{1, "liver"}});
    SharedImageSet emptySet;
    auto fractional = labelImage<float>({4, 4, 4}, {{{2, 2, 2}, {1, 1, 1}, 1}}, PixelType::Float);
    reinterpret_cast<float*>(fractional->get(0)->data())[5] = 1.5f;
    auto huge = labelImage<float>({4, 4, 4}, {}, PixelType::Float);
    reinterpret_cast<float*>(huge->get(0)->data())[0] = 3e9f;
    const std::vector<std::pair<std::string, const SharedImageSet*>> cases = {
        {"no image set", nullptr}, {"no image", &emptySet}, {"non-integral value", fractional.get()},
        {"value beyond 32 bits", huge.get()}};
    for (const auto& [what, images] : cases) {
        GenericASCFromMultiLabelMap algorithm(images, nullptr, &labels);
        algorithm.compute();
        EXPECT_NE(algorithm.status(), Algorithm::Success) << what;
        EXPECT_FALSE(algorithm.statusMessage().empty()) << what;
        EXPECT_TRUE(algorithm.takeOutput().empty()) << what;
    }
}

TEST(LabelMapStructures, IntegralFloatingLabelsWork)
{
    auto images = labelImage<double>({12, 12, 12}, {{{6, 6, 6}, {4, 4, 4}, 2}}, PixelType::Double);
    const LabelDataComponent labels = labelsNamed({{2, "kidney"}});
    auto collection = convert(*images, &labels);
    ASSERT_TRUE(collection);
    EXPECT_EQ(collection->numAnatomicalStructures(), 1);
}

TEST(LabelMapStructures, RepeatedRunsGiveIdenticalMeshes)
{
    auto images = labelImage({40, 30, 30}, {{{10, 15, 15}, {8, 9, 10}, 1}, {{28, 14, 15}, {9, 10, 8}, 2},
                                            {{20, 20, 10}, {5, 5, 5}, 3}});
    const LabelDataComponent labels = labelsNamed({{1, "a"}, {2, "b"}, {3, "c"}});
    auto first = convert(*images, &labels);
    auto second = convert(*images, &labels);
    ASSERT_TRUE(first && second);
    for (const char* name : {"a", "b", "c"}) {
        EXPECT_EQ(surfaceOf(*first, name).vertices(), surfaceOf(*second, name).vertices()) << name;
        EXPECT_EQ(surfaceOf(*first, name).faces(), surfaceOf(*second, name).faces()) << name;
    }
}

TEST(LabelMapStructures, CancellationLeavesTheTargetUntouched)
{
    auto images = labelImage({20, 20, 20}, {{{10, 10, 10}, {5, 5, 5}, 1}, {{4, 4, 4}, {2, 2, 2}, 2}});
    const LabelDataComponent labels = labelsNamed({{1, "a"}, {2, "b"}});
    for (double stopAt : {0.0, 0.1, 0.5}) {
        GenericASC target;
        GenericASCFromMultiLabelMap algorithm(images.get(), &target, &labels);
        algorithm.setProgressCallback([stopAt](double fraction, const std::string&) { return fraction < stopAt; });
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), Algorithm::Cancelled) << stopAt;
        EXPECT_EQ(target.numAnatomicalStructures(), 0) << stopAt;
    }
    GenericASC target;
    GenericASCFromMultiLabelMap algorithm(images.get(), &target, &labels);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
    EXPECT_EQ(target.numAnatomicalStructures(), 2);
    EXPECT_TRUE(algorithm.takeOutput().empty());
}
