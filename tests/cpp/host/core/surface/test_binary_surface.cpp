#include "SurfaceChecks.h"

#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <random>
#include <string>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

class BinarySurfaceTest : public ::testing::TestWithParam<MaskCase> {};

}  // namespace

TEST_P(BinarySurfaceTest, IsAClosedOutwardManifoldUnderEveryMapping)
{
    const MaskCase& given = GetParam();
    double indexVolume = 0.0;
    for (const Mat4& mapping : mappings()) {
        SCOPED_TRACE(given.name);
        const surface::TriangleSurface result = surface::extractSurface(given.mask, mapping);
        ASSERT_GT(result.faces.rows(), 0);
        const int shells = expectClosedOrientedManifold(result.vertices, result.faces);
        // Without enclosed outside pockets, one shell per face-connected part.
        EXPECT_EQ(shells, given.shells > 0 ? given.shells : faceConnectedParts(given.mask));
        const double volume = surface::enclosedVolume(result.vertices, result.faces);
        const double scale = std::abs(mapping.topLeftCorner<3, 3>().determinant());
        EXPECT_GT(volume, 0.0) << "normals point inwards";
        if (mapping.isIdentity()) {
            indexVolume = volume;
        }
        else {
            EXPECT_NEAR(volume, indexVolume * scale, 1e-9 * indexVolume * scale);
        }
    }
    // Midpoint surfaces stay near the voxels: never far beyond their total volume.
    EXPECT_LT(indexVolume, 1.5 * voxelCount(given.mask));
}

INSTANTIATE_TEST_SUITE_P(Masks, BinarySurfaceTest, ::testing::ValuesIn(maskCases()), maskCaseName);

TEST(BinarySurface, EmptyMaskGivesNoSurfaceAndBadMasksAreRefused)
{
    EXPECT_EQ(surface::extractSurface(maskFromVoxels({3, 3, 3}, {}), Mat4::Identity()).faces.rows(), 0);
    surface::BinaryMask wrongSize{{2, 2, 2}, std::vector<std::uint8_t>(7)};
    EXPECT_THROW(surface::extractSurface(wrongSize, Mat4::Identity()), std::invalid_argument);
    EXPECT_THROW(surface::extractSurface({{0, 1, 1}, {}}, Mat4::Identity()), std::invalid_argument);
}

TEST(BinarySurface, SameMaskGivesTheSameSurfaceBitForBit)
{
    const surface::BinaryMask mask = randomMask({12, 10, 9}, 7, 0.5);
    const auto first = surface::extractSurface(mask, Mat4::Identity());
    const auto second = surface::extractSurface(mask, Mat4::Identity());
    EXPECT_EQ(first.vertices, second.vertices);
    EXPECT_EQ(first.faces, second.faces);
}

TEST(BinarySurface, EveryCubeCaseIsClosedWithOneShellPerFaceConnectedPart)
{
    for (int pattern = 1; pattern < 256; ++pattern) {
        SCOPED_TRACE("corner pattern " + std::to_string(pattern));
        const surface::BinaryMask mask = cornerPatternMask(pattern);
        const auto result = surface::extractSurface(mask, Mat4::Identity());
        EXPECT_EQ(expectClosedOrientedManifold(result.vertices, result.faces), faceConnectedParts(mask));
        EXPECT_GT(surface::enclosedVolume(result.vertices, result.faces), 0.0);
    }
}
