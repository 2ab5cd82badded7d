#include "SurfaceChecks.h"

#include "corvaxis/core/surface/BinarySurface.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <random>
#include <string>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

surface::BinaryMask maskFromVoxels(std::array<int, 3> dimensions, const std::vector<std::array<int, 3>>& voxels)
{
    surface::BinaryMask mask{dimensions, std::vector<std::uint8_t>(
                                             static_cast<std::size_t>(dimensions[0]) * dimensions[1] * dimensions[2])};
    for (const auto& [x, y, z] : voxels)
        mask.inside[static_cast<std::size_t>((z * dimensions[1] + y) * dimensions[0] + x)] = 1;
    return mask;
}

surface::BinaryMask randomMask(std::array<int, 3> dimensions, unsigned seed, double fill)
{
    std::mt19937 random(seed);
    std::bernoulli_distribution inside(fill);
    surface::BinaryMask mask{dimensions, {}};
    mask.inside.resize(static_cast<std::size_t>(dimensions[0]) * dimensions[1] * dimensions[2]);
    for (auto& value : mask.inside)
        value = inside(random);
    return mask;
}

struct MaskCase {
    std::string name;
    surface::BinaryMask mask;
    int shells;
};

std::vector<MaskCase> maskCases()
{
    return {
        {"single voxel", maskFromVoxels({1, 1, 1}, {{0, 0, 0}}), 1},
        {"full box touching every border", maskFromVoxels({2, 2, 2}, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0},
                                                                      {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}}),
         1},
        // Voxels meeting only along an edge or at a corner: the classic places for holes and pinches.
        {"edge neighbours", maskFromVoxels({2, 2, 1}, {{0, 0, 0}, {1, 1, 0}}), 2},
        {"anti-diagonal edge neighbours", maskFromVoxels({2, 2, 1}, {{1, 0, 0}, {0, 1, 0}}), 2},
        {"corner neighbours", maskFromVoxels({2, 2, 2}, {{0, 0, 0}, {1, 1, 1}}), 2},
        {"other corner neighbours", maskFromVoxels({2, 2, 2}, {{1, 0, 0}, {0, 1, 1}}), 2},
        {"separate voxels", maskFromVoxels({5, 1, 1}, {{0, 0, 0}, {4, 0, 0}}), 2},
        {"ring", maskFromVoxels({3, 3, 1}, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {2, 1, 0}, {0, 2, 0}, {1, 2, 0},
                                            {2, 2, 0}}),
         1},
        {"random sparse", randomMask({9, 8, 7}, 1, 0.3), -1},
        {"random half", randomMask({9, 8, 7}, 2, 0.5), -1},
        {"random dense", randomMask({6, 7, 8}, 3, 0.8), -1},
    };
}

class BinarySurfaceTest : public ::testing::TestWithParam<MaskCase> {};

/// The number of face-connected parts of the mask's inside voxels.
int faceConnectedParts(const surface::BinaryMask& mask)
{
    const auto [nx, ny, nz] = mask.dimensions;
    std::vector<int> part(mask.inside.size(), -1);
    int parts = 0;
    for (std::size_t seed = 0; seed < mask.inside.size(); ++seed) {
        if (!mask.inside[seed] || part[seed] >= 0)
            continue;
        std::vector<std::size_t> stack{seed};
        part[seed] = parts;
        while (!stack.empty()) {
            const std::size_t at = stack.back();
            stack.pop_back();
            const int x = static_cast<int>(at % nx), y = static_cast<int>(at / nx % ny), z = static_cast<int>(at / nx / ny);
            const int steps[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
            for (const auto& step : steps) {
                const int ax = x + step[0], ay = y + step[1], az = z + step[2];
                if (ax < 0 || ay < 0 || az < 0 || ax >= nx || ay >= ny || az >= nz)
                    continue;
                const auto next = static_cast<std::size_t>((az * ny + ay) * nx + ax);
                if (mask.inside[next] && part[next] < 0) {
                    part[next] = parts;
                    stack.push_back(next);
                }
            }
        }
        ++parts;
    }
    return parts;
}

double voxelCount(const surface::BinaryMask& mask)
{
    double count = 0;
    for (auto value : mask.inside)
        count += value != 0;
    return count;
}

}  // namespace

TEST_P(BinarySurfaceTest, IsAClosedOutwardManifoldUnderEveryMapping)
{
    const MaskCase& given = GetParam();
    Mat4 rotated = Mat4::Identity();
    rotated.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix() *
                                    Eigen::Vector3d(0.5, 1.25, 2.0).asDiagonal();
    rotated.topRightCorner<3, 1>() = Vec3(-10, 4, 7);
    Mat4 mirrored = Mat4::Identity();
    mirrored.diagonal().head<3>() = Vec3(-0.8, 0.8, 3.0);

    double indexVolume = 0.0;
    for (const Mat4& mapping : {Mat4(Mat4::Identity()), rotated, mirrored}) {
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

INSTANTIATE_TEST_SUITE_P(Masks, BinarySurfaceTest, ::testing::ValuesIn(maskCases()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

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
        surface::BinaryMask mask{{2, 2, 2}, std::vector<std::uint8_t>(8)};
        for (int corner = 0; corner < 8; ++corner)
            mask.inside[static_cast<std::size_t>(corner)] = static_cast<std::uint8_t>(pattern >> corner & 1);
        const auto result = surface::extractSurface(mask, Mat4::Identity());
        EXPECT_EQ(expectClosedOrientedManifold(result.vertices, result.faces), faceConnectedParts(mask));
        EXPECT_GT(surface::enclosedVolume(result.vertices, result.faces), 0.0);
    }
}
