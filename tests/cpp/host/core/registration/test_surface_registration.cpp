#include "corvaxis/core/registration/DeformableRegistration.h"
#include "corvaxis/core/registration/RigidAlignment.h"
#include "corvaxis/core/registration/SurfaceDistance.h"

#include "SurfaceFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

namespace corvaxis::registration {
namespace {

using testing::icosphere;
using testing::latitudeSphere;
using testing::placed;
using testing::rigid;

TEST(ClosestPointOnTriangle, EachRegionOfTheTriangle)
{
    const Vec3 a(0, 0, 0), b(2, 0, 0), c(0, 2, 0);
    const struct {
        Vec3 query, expected;
    } cases[] = {
        {{0.5, 0.5, 3.0}, {0.5, 0.5, 0.0}},     // above the interior
        {{-1.0, -1.0, 0.0}, a},                 // beyond the first corner
        {{3.0, -0.5, 1.0}, b},                  // beyond the second corner
        {{-0.1, 4.0, 0.0}, c},                  // beyond the third corner
        {{1.0, -2.0, 0.0}, {1.0, 0.0, 0.0}},    // beside edge ab
        {{-3.0, 1.0, 0.0}, {0.0, 1.0, 0.0}},    // beside edge ca
        {{2.0, 2.0, -1.0}, {1.0, 1.0, 0.0}},    // beside edge bc
    };
    for (const auto& [query, expected] : cases)
        EXPECT_LT((closestPointOnTriangle(query, a, b, c) - expected).norm(), 1e-12) << query.transpose();
}

TEST(SurfaceDistance, MatchesEveryFaceTriedInTurn)
{
    const auto surface = placed(latitudeSphere(8, 11), Vec3(3.0, 2.0, 1.0));
    const SurfaceDistance distance(surface.vertices, surface.faces);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> coordinate(-4.0, 4.0);
    Points queries(200, 3);
    for (Eigen::Index i = 0; i < queries.rows(); ++i)
        queries.row(i) << coordinate(random), coordinate(random), coordinate(random);
    const Eigen::VectorXd found = distance.distances(queries);
    for (Eigen::Index i = 0; i < queries.rows(); ++i) {
        const Vec3 p = queries.row(i);
        double best = std::numeric_limits<double>::infinity();
        for (Eigen::Index f = 0; f < surface.faces.rows(); ++f)
            best = std::min(best, (closestPointOnTriangle(p, surface.vertices.row(surface.faces(f, 0)),
                                                          surface.vertices.row(surface.faces(f, 1)),
                                                          surface.vertices.row(surface.faces(f, 2))) - p).norm());
        EXPECT_NEAR(found[i], best, 1e-12) << p.transpose();
    }
}

TEST(SurfaceDistance, RefusesSurfacesItCannotSearch)
{
    const auto surface = latitudeSphere(4, 5);
    EXPECT_THROW(SurfaceDistance(Points(0, 3), surface.faces), std::invalid_argument);
    Triangles broken = surface.faces;
    broken(0, 1) = static_cast<int>(surface.vertices.rows());
    EXPECT_THROW(SurfaceDistance(surface.vertices, broken), std::invalid_argument);
}

/// An ellipsoid bent so that no rotation maps it onto itself.
testing::Surface bentEllipsoid(int levels)
{
    auto surface = placed(icosphere(levels), Vec3(30.0, 18.0, 9.0));
    surface.vertices.col(0) += 0.02 * surface.vertices.col(1).cwiseAbs2();
    surface.vertices.col(1) += 0.04 * surface.vertices.col(2).cwiseAbs2();
    return surface;
}

TEST(RigidAlignment, RecoversPlacementsOfAnAnisotropicSurface)
{
    const struct {
        Vec3 axis;
        double degrees;
        Vec3 shift;
        double scale;
        int levels;
    } cases[] = {
        {{0, 0, 1}, 10.0, {5, -3, 2}, 1.0, 2},
        {{1, 2, 3}, 35.0, {-20, 4, 9}, 1.0, 2},
        {{1, 0, 0}, 170.0, {0, 0, 0}, 1.0, 2},  // beyond the reach of ICP alone
        {{0, 1, 1}, 20.0, {3, 3, -3}, 1.3, 2},
        {{1, 0, 0}, 170.0, {2, 0, 1}, 1.1, 4},  // 2 562 vertices: candidates told apart through some
    };
    for (const auto& [axis, degrees, shift, scale, levels] : cases) {
        const auto fixed = bentEllipsoid(levels);
        // moving = scale^-1 * placement^-1 (fixed); the alignment must undo it.
        const Mat4 placement = rigid(axis, degrees, shift);
        const Points moving = transformPoints(placement.inverse(), fixed.vertices) / scale;
        const RigidIcpResult found = alignByMomentsAndIcp(moving, fixed.vertices, scale != 1.0, {}, 1);
        EXPECT_EQ(found.transformation, alignByMomentsAndIcp(moving, fixed.vertices, scale != 1.0, {}, 3).transformation);
        Mat4 expected = placement;
        expected.topLeftCorner<3, 3>() *= scale;
        EXPECT_LT((found.transformation - expected).cwiseAbs().maxCoeff(), 1e-6) << degrees << " degrees";
        EXPECT_LT(found.rms, 1e-6);
    }
    EXPECT_THROW(rigidIcp(Points(2, 3), bentEllipsoid(1).vertices, Mat4::Identity()), std::invalid_argument);
}

TEST(RigidAlignment, AsksNoMoreOnceToldToStop)
{
    const auto fixed = bentEllipsoid(4);
    const Points moving = transformPoints(rigid(Vec3(1, 2, 3), 35.0, Vec3(4, 0, 0)), fixed.vertices);
    for (const int allowedCalls : {0, 3, 60}) {  // at once, and part-way through the candidates
        int calls = 0;
        alignByMomentsAndIcp(moving, fixed.vertices, false, [&] { return calls++ < allowedCalls; });
        EXPECT_EQ(calls, allowedCalls + 1);
    }
}

/// What a sphere deformed onto an ellipsoid must reach: near its surface everywhere, nothing folded.
void expectOnTheSurfaceUnfolded(const DeformableRegistrationResult& result)
{
    EXPECT_LE(result.meanDistance, 0.5);
    EXPECT_LE(result.maxDistance, 2.0);
    EXPECT_EQ(result.flippedFaces, 0);
}

struct SphereOntoEllipsoid : ::testing::Test {
    // The sphere of radius 20 mm onto an ellipsoid of semi-axes 25, 20, 15 mm, rotated by 10
    // degrees and shifted, tessellated differently.
    const Mat4 placement = rigid(Vec3(1, 1, 0), 10.0, Vec3(12.0, -7.0, 4.0));
    const testing::Surface moving = placed(icosphere(3), Vec3::Constant(20.0));
    const testing::Surface fixed = placed(latitudeSphere(20, 32), Vec3(25.0, 20.0, 15.0), placement);
};

TEST_F(SphereOntoEllipsoid, LandsOnTheSurfaceWithoutFolding)
{
    const DeformableRegistrationResult result =
        registerSurfacesDeformably(moving.vertices, moving.faces, fixed.vertices, fixed.faces);
    ASSERT_EQ(result.status, Algorithm::Success) << result.message;
    expectOnTheSurfaceUnfolded(result);
    ASSERT_EQ(result.deformedVertices.rows(), moving.vertices.rows());
    const Eigen::VectorXd distances = SurfaceDistance(fixed.vertices, fixed.faces).distances(result.deformedVertices);
    EXPECT_NEAR(distances.mean(), result.meanDistance, 1e-9);
    // Every face still points away from the ellipsoid's centre.
    const Points normals = faceNormals(result.deformedVertices, moving.faces);
    const Vec3 centre = placement.topRightCorner<3, 1>();
    for (Eigen::Index f = 0; f < moving.faces.rows(); ++f) {
        const Vec3 faceCentre = (result.deformedVertices.row(moving.faces(f, 0)) + result.deformedVertices.row(moving.faces(f, 1)) +
                                 result.deformedVertices.row(moving.faces(f, 2))) / 3.0;
        ASSERT_GT(normals.row(f).dot(faceCentre - centre), 0.0) << "face " << f;
    }
}

TEST_F(SphereOntoEllipsoid, OtherPointsFollowTheVertices)
{
    DeformableRegistrationOptions options;
    options.maxIterations = 40;
    const DeformableRegistrationResult result =
        registerSurfacesDeformably(moving.vertices, moving.faces, fixed.vertices, fixed.faces, std::nullopt, options);
    ASSERT_EQ(result.status, Algorithm::Success) << result.message;
    // Keypoints on vertices land where those vertices did; others move smoothly with them.
    EXPECT_LT((result.deform(moving.vertices) - result.deformedVertices).cwiseAbs().maxCoeff(), 1e-6);
    Points keypoints(2, 3);
    keypoints << 0.0, 0.0, 20.0, 0.0, 0.0, 0.0;
    const Points moved = result.deform(keypoints);
    EXPECT_LT(SurfaceDistance(fixed.vertices, fixed.faces).distances(moved.topRows(1))[0], 1.0);
    EXPECT_LT((moved.row(1).transpose() - placement.topRightCorner<3, 1>()).norm(), 2.0);
}

TEST_F(SphereOntoEllipsoid, GivenStartIsKeptAndThreadsDoNotChangeTheResult)
{
    DeformableRegistrationOptions options;
    options.maxIterations = 15;
    options.tolerance = 0.0;
    options.threads = 1;
    const DeformableRegistrationResult single =
        registerSurfacesDeformably(moving.vertices, moving.faces, fixed.vertices, fixed.faces, placement, options);
    options.threads = 3;
    const DeformableRegistrationResult several =
        registerSurfacesDeformably(moving.vertices, moving.faces, fixed.vertices, fixed.faces, placement, options);
    ASSERT_EQ(single.status, Algorithm::Success) << single.message;
    EXPECT_EQ(single.transformation, placement);
    EXPECT_EQ(single.iterations, 15);
    EXPECT_TRUE(single.deformedVertices == several.deformedVertices);
}

TEST_F(SphereOntoEllipsoid, StopsWhenTheCallerAsks)
{
    const std::thread::id caller = std::this_thread::get_id();
    for (const int allowedCalls : {0, 3}) {
        int calls = 0;
        const DeformableRegistrationResult result = registerSurfacesDeformably(
            moving.vertices, moving.faces, fixed.vertices, fixed.faces, std::nullopt, {},
            [&](double fraction, const std::string&) {
                EXPECT_EQ(std::this_thread::get_id(), caller);
                EXPECT_GE(fraction, 0.0);
                EXPECT_LE(fraction, 1.0);
                return calls++ < allowedCalls;
            });
        EXPECT_EQ(result.status, Algorithm::Cancelled);
        EXPECT_EQ(calls, allowedCalls + 1);
        EXPECT_EQ(result.deformedVertices.rows(), 0);
    }
}

TEST_F(SphereOntoEllipsoid, RefusesInvalidInput)
{
    Triangles badFaces = moving.faces;
    badFaces(3, 2) = -1;
    Points nanVertices = fixed.vertices;
    nanVertices(5, 1) = std::numeric_limits<double>::quiet_NaN();
    const auto withOption = [](auto change) {
        DeformableRegistrationOptions options;
        change(options);
        return options;
    };
    const struct {
        Points movingVertices;
        Triangles movingFaces;
        Points fixedVertices;
        DeformableRegistrationOptions options;
        std::string messagePart;
    } cases[] = {
        {Points(0, 3), Triangles(0, 3), fixed.vertices, {}, "moving surface has fewer"},
        {moving.vertices, badFaces, fixed.vertices, {}, "face of the moving surface"},
        {moving.vertices, moving.faces, nanVertices, {}, "fixed surface has a vertex that is not finite"},
        {moving.vertices, moving.faces, fixed.vertices, withOption([](auto& o) { o.kernelWidth = 0.0; }), "out of range"},
        {moving.vertices, moving.faces, fixed.vertices, withOption([](auto& o) { o.outlierWeight = 1.0; }), "out of range"},
        {moving.vertices, moving.faces, fixed.vertices, withOption([](auto& o) { o.kernelRank = 0; }), "out of range"},
    };
    for (const auto& c : cases) {
        const DeformableRegistrationResult result =
            registerSurfacesDeformably(c.movingVertices, c.movingFaces, c.fixedVertices, fixed.faces, std::nullopt, c.options);
        EXPECT_EQ(result.status, Algorithm::InvalidInput);
        EXPECT_NE(result.message.find(c.messagePart), std::string::npos) << result.message;
    }
}

TEST(DeformableRegistration, HoldsWhicheverSideIsDenser)
{
    // Pairs whose grids merge one side, the other or both in the first iterations.
    const Mat4 placement = rigid(Vec3(1, 1, 0), 10.0, Vec3(12.0, -7.0, 4.0));
    const struct {
        const char* name;
        testing::Surface moving, fixed;
    } cases[] = {
        {"moving denser", placed(icosphere(4), Vec3::Constant(20.0)), placed(latitudeSphere(20, 32), Vec3(25.0, 20.0, 15.0), placement)},
        {"fixed denser", placed(icosphere(2), Vec3::Constant(20.0)), placed(latitudeSphere(50, 80), Vec3(25.0, 20.0, 15.0), placement)},
        {"both dense", placed(icosphere(4), Vec3::Constant(20.0)), placed(latitudeSphere(36, 72), Vec3(25.0, 20.0, 15.0), placement)},
    };
    for (const auto& [name, moving, fixed] : cases) {
        SCOPED_TRACE(name);
        const DeformableRegistrationResult result =
            registerSurfacesDeformably(moving.vertices, moving.faces, fixed.vertices, fixed.faces);
        ASSERT_EQ(result.status, Algorithm::Success) << result.message;
        expectOnTheSurfaceUnfolded(result);
        // However coarse the last iterations ran, every vertex moved by the one field.
        EXPECT_LT((result.deform(moving.vertices) - result.deformedVertices).cwiseAbs().maxCoeff(), 1e-6);
    }
}

// The high-water mark of this process's memory; unlike getrusage's, it does not carry over the
// peak of the process that started it.
long peakResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

TEST(DeformableRegistration, MemoryStaysLinearInTheVertexCounts)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine make resident memory no measure of ours";
#endif
    // 10 242 x 2 562 vertices: one dense matrix of the pairs alone would take 210 MB.
    const auto moving = placed(icosphere(5), Vec3::Constant(20.0));
    const auto fixed = placed(icosphere(4), Vec3(22.0, 20.0, 18.0));
    DeformableRegistrationOptions options;
    options.maxIterations = 1;
    const long before = peakResidentKilobytes();
    const DeformableRegistrationResult result =
        registerSurfacesDeformably(moving.vertices, moving.faces, fixed.vertices, fixed.faces, Mat4::Identity(), options);
    ASSERT_EQ(result.status, Algorithm::Success) << result.message;
    EXPECT_LT(peakResidentKilobytes() - before, 100'000);
}

}  // namespace
}  // namespace corvaxis::registration
