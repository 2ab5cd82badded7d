#include "SurfaceChecks.h"

#include "corvaxis/core/surface/Decimation.h"
#include "corvaxis/core/surface/SurfaceNet.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <set>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

/// The smooth surface of one mask standing alone, with its voxels' volume as the target.
surface::TriangleSurface smoothAlone(const surface::BinaryMask& mask, const Mat4& mapping)
{
    const surface::SurfaceNet net = surface::extractSurfaceNet(mask, mapping, {mask.dimensions, {0, 0, 0}},
                                                               [](int, int, int) { return surface::outsideRegion; });
    const double target = voxelCount(mask) * std::abs(mapping.topLeftCorner<3, 3>().determinant());
    return surface::smoothSurfaceNets({net}, {target}, {}, [](double) { return true; }).at(0);
}

void expectLikeMarchingCubes(const surface::BinaryMask& mask, const Mat4& mapping)
{
    const surface::TriangleSurface voxels = surface::extractSurface(mask, mapping);
    const surface::TriangleSurface smooth = smoothAlone(mask, mapping);
    const double target = voxelCount(mask) * std::abs(mapping.topLeftCorner<3, 3>().determinant());
    EXPECT_EQ(expectClosedOrientedManifold(smooth.vertices, smooth.faces),
              expectClosedOrientedManifold(voxels.vertices, voxels.faces));
    EXPECT_EQ(eulerNumber(smooth.faces), eulerNumber(voxels.faces));
    EXPECT_NEAR(surface::enclosedVolume(smooth.vertices, smooth.faces), target, 0.02 * target);
}

class SurfaceNetTest : public ::testing::TestWithParam<MaskCase> {};

}  // namespace

TEST_P(SurfaceNetTest, KeepsTheVoxelsTopologyAndVolumeUnderEveryMapping)
{
    for (const Mat4& mapping : mappings()) {
        SCOPED_TRACE(GetParam().name);
        expectLikeMarchingCubes(GetParam().mask, mapping);
    }
}

INSTANTIATE_TEST_SUITE_P(Masks, SurfaceNetTest, ::testing::ValuesIn(maskCases()), maskCaseName);

TEST(SurfaceNet, EveryCubeCaseKeepsTheVoxelsTopology)
{
    for (int pattern = 1; pattern < 256; ++pattern) {
        SCOPED_TRACE("corner pattern " + std::to_string(pattern));
        expectLikeMarchingCubes(cornerPatternMask(pattern), Mat4::Identity());
    }
}

TEST(SurfaceNet, TouchingRegionsShareOneInterfaceAndStopOnRequest)
{
    // Two blocks side by side in a 10 x 7 x 7 image: region 0 takes x in [1, 5), region 1 [5, 8).
    const std::array<int, 3> image{10, 7, 7};
    const auto regionAt = [](int x, int y, int z) -> std::int32_t {
        if (y < 1 || y > 5 || z < 1 || z > 5 || x < 1 || x > 7)
            return surface::outsideRegion;
        return x < 5 ? 0 : 1;
    };
    std::vector<surface::SurfaceNet> nets;
    std::vector<double> volumes;
    for (const auto& [lower, upper] : {std::pair{1, 4}, std::pair{5, 7}}) {
        surface::BinaryMask mask{{upper - lower + 1, 5, 5}, {}};
        mask.inside.assign(static_cast<std::size_t>(mask.dimensions[0] * 25), 1);
        Mat4 boxToWorld = Mat4::Identity();
        boxToWorld.topRightCorner<3, 1>() = Vec3(lower, 1, 1);
        nets.push_back(surface::extractSurfaceNet(mask, boxToWorld, {image, {lower, 1, 1}}, regionAt));
        volumes.push_back(voxelCount(mask));
    }
    const auto surfaces = surface::smoothSurfaceNets(nets, volumes, {}, [](double) { return true; });
    ASSERT_EQ(surfaces.size(), 2u);
    std::set<std::array<double, 3>> second;
    for (Eigen::Index v = 0; v < surfaces[1].vertices.rows(); ++v)
        second.insert({surfaces[1].vertices(v, 0), surfaces[1].vertices(v, 1), surfaces[1].vertices(v, 2)});
    int shared = 0;
    for (std::size_t r = 0; r < 2; ++r) {
        EXPECT_EQ(expectClosedOrientedManifold(surfaces[r].vertices, surfaces[r].faces), 1);
        EXPECT_NEAR(surface::enclosedVolume(surfaces[r].vertices, surfaces[r].faces), volumes[r], 0.02 * volumes[r]);
    }
    // The interface lies near the plane x = 4.5 (image voxel coordinates are world here).
    for (Eigen::Index v = 0; v < surfaces[0].vertices.rows(); ++v) {
        const std::array<double, 3> point{surfaces[0].vertices(v, 0), surfaces[0].vertices(v, 1), surfaces[0].vertices(v, 2)};
        if (std::abs(point[0] - 4.5) < 0.25 && point[1] > 1.5 && point[1] < 4.5 && point[2] > 1.5 && point[2] < 4.5) {
            EXPECT_TRUE(second.contains(point)) << "interface vertex " << v << " only in the first surface";
            ++shared;
        }
    }
    EXPECT_GE(shared, 9);

    int calls = 0;
    EXPECT_TRUE(surface::smoothSurfaceNets(nets, volumes, {}, [&](double) { return ++calls < 3; }).empty());
    EXPECT_EQ(calls, 3);
}

TEST(Decimation, KeepsTopologyAndShapeAtAQuarterOfTheTriangles)
{
    for (const auto& [name, mask] : {std::pair{"ball", ballMask(7.0)}, std::pair{"torus", torusMask(7.0, 2.5)}}) {
        SCOPED_TRACE(name);
        const surface::TriangleSurface smooth = smoothAlone(mask, Mat4::Identity());
        const surface::TriangleSurface fewer = surface::decimate(smooth, 0.25);
        EXPECT_LE(fewer.faces.rows(), smooth.faces.rows() / 4);
        EXPECT_EQ(expectClosedOrientedManifold(fewer.vertices, fewer.faces),
                  expectClosedOrientedManifold(smooth.vertices, smooth.faces));
        EXPECT_EQ(eulerNumber(fewer.faces), eulerNumber(smooth.faces));
        const double volume = surface::enclosedVolume(smooth.vertices, smooth.faces);
        EXPECT_NEAR(surface::enclosedVolume(fewer.vertices, fewer.faces), volume, 0.05 * volume);
    }
    const surface::TriangleSurface ball = smoothAlone(ballMask(3.0), Mat4::Identity());
    EXPECT_EQ(surface::decimate(ball, 1.0).faces, ball.faces);
    for (double share : {0.0, -0.5, 1.5, std::nan("")})
        EXPECT_THROW(surface::decimate(ball, share), std::invalid_argument) << share;
}
