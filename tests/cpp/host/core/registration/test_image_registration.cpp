#include "corvaxis/core/registration/ImageRegistration.h"

#include "registration/RigidImageMetric.h"

#include "ImageFixtures.h"
#include "SurfaceFixtures.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace corvaxis::registration {
namespace {

using testing::blobs;
using testing::movedBlobs;
using testing::rigid;
using testing::rotationErrorDegrees;
using testing::sampledImage;

constexpr int size = 40;
constexpr double spacing = 2.4;

const char* metricName(ImageMetric metric)
{
    switch (metric) {
    case ImageMetric::MattesMutualInformation: return "mutual information";
    case ImageMetric::NormalizedCrossCorrelation: return "cross-correlation";
    case ImageMetric::MeanSquares: return "mean squares";
    }
    return "";
}

double secondModality(double v) { return 4.0 * v * (1.0 - v) + 0.1; }

TEST(ImageVolume, InterpolationAndPyramidKeepLinearIntensitiesInPlace)
{
    const auto linear = [](const Vec3& p) { return 3.0 + 0.5 * p.x() - 0.25 * p.y() + 0.125 * p.z(); };
    const auto image = sampledImage(18, 1.5, linear);
    const Volume full = volumeFrom(*image, centredPixelToWorld(*image, rigid(Vec3(0, 0, 1), 30.0, Vec3(1, 2, 3))));
    const Volume half = halved(full);
    EXPECT_EQ(half.dimensions, (std::array<int, 3>{9, 9, 9}));
    EXPECT_DOUBLE_EQ(half.voxelSize(), 3.0);
    // Away from the clamped border, both levels hold the same linear function of the image frame.
    for (const Vec3 pixel : {Vec3(3.0, 4.5, 5.25), Vec3(6.7, 3.1, 4.0), Vec3(7.0, 7.0, 7.0)}) {
        const Vec3 world = (full.pixelToWorld * pixel.homogeneous()).head<3>();
        const Vec3 halfPixel = (half.pixelToWorld.inverse() * world.homogeneous()).head<3>();
        double atFull = 0.0, atHalf = 0.0;
        Vec3 gradient, halfGradient;
        ASSERT_TRUE(full.interpolate(pixel, atFull, gradient));
        ASSERT_TRUE(half.interpolate(halfPixel, atHalf, halfGradient));
        EXPECT_NEAR(atFull, atHalf, 1e-4) << pixel.transpose();
        EXPECT_NEAR(gradient.x(), 0.75, 1e-5);  // 0.5 per millimetre, 1.5 mm per pixel
        EXPECT_NEAR((halfGradient - 2.0 * gradient).norm(), 0.0, 1e-4);
    }
    double value = 0.0;
    Vec3 gradient;
    EXPECT_FALSE(full.interpolate(Vec3(-0.01, 2, 2), value, gradient));
    EXPECT_FALSE(full.interpolate(Vec3(2, 2, 17.01), value, gradient));
    EXPECT_TRUE(full.interpolate(Vec3(17, 17, 17), value, gradient));
}

TEST(ImageVolume, SplineInterpolationPassesThroughTheVoxelsAndFollowsSmoothIntensities)
{
    const auto image = sampledImage(24, 2.0, blobs);
    const Volume samples = volumeFrom(*image, centredPixelToWorld(*image));
    const Volume coefficients = splineCoefficients(samples);
    const auto world = [&](const Vec3& pixel) { return (samples.pixelToWorld * pixel.homogeneous()).head<3>().eval(); };
    double value = 0.0;
    Vec3 gradient;
    // On the voxels, borders included, the spline gives their own intensities.
    for (const Vec3 pixel : {Vec3(0, 0, 0), Vec3(5, 11, 17), Vec3(23, 12, 0), Vec3(23, 23, 23)}) {
        ASSERT_TRUE(coefficients.interpolateSpline(pixel, value, gradient));
        EXPECT_NEAR(value, samples.at(static_cast<int>(pixel.x()), static_cast<int>(pixel.y()), static_cast<int>(pixel.z())), 1e-5);
    }
    // Between the voxels (away from the mirrored borders) it follows the smooth intensities far more
    // closely than trilinear interpolation, and its gradient is the derivative of its values.
    double splineError = 0.0, trilinearError = 0.0;
    for (int i = 0; i < 200; ++i) {
        const Vec3 pixel(3.0 + 0.0851 * i, 20.0 - 0.0713 * i, 4.0 + 0.0801 * i);
        ASSERT_TRUE(coefficients.interpolateSpline(pixel, value, gradient));
        splineError = std::max(splineError, std::abs(value - blobs(world(pixel))));
        const double h = 1e-3;
        for (int a = 0; a < 3; ++a) {
            double above = 0.0, below = 0.0;
            Vec3 unused, offset = Vec3::Zero();
            offset[a] = h;
            coefficients.interpolateSpline(pixel + offset, above, unused);
            coefficients.interpolateSpline(pixel - offset, below, unused);
            EXPECT_NEAR(gradient[a], (above - below) / (2.0 * h), 1e-4) << pixel.transpose() << " axis " << a;
        }
        ASSERT_TRUE(samples.interpolate(pixel, value, gradient));
        trilinearError = std::max(trilinearError, std::abs(value - blobs(world(pixel))));
    }
    EXPECT_LT(splineError, 0.2 * trilinearError);
    EXPECT_FALSE(coefficients.interpolateSpline(Vec3(-0.01, 2, 2), value, gradient));
    EXPECT_FALSE(coefficients.interpolateSpline(Vec3(2, 23.01, 2), value, gradient));
}

TEST(ImageVolume, SplineCoefficientsReproduceEveryVoxelOfAnOblongVolumeOnAnyThreadCount)
{
    // Lines of 4 (the shortest an image may have), 9 and 45 voxels: the mirrored start of the
    // recursion is summed in full below 40 and cut off above.
    Volume rough;
    rough.dimensions = {4, 9, 45};
    rough.values.resize(4 * 9 * 45);
    for (std::size_t i = 0; i < rough.values.size(); ++i)
        rough.values[i] = static_cast<float>((i * 7919) % 101) / 101.0f;  // no smoothness to lean on
    const Volume coefficients = splineCoefficients(rough, 1);
    EXPECT_EQ(coefficients.values, splineCoefficients(rough, 3).values);
    double value = 0.0;
    Vec3 gradient;
    for (int z = 0; z < 45; ++z)
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 4; ++x) {
                ASSERT_TRUE(coefficients.interpolateSpline(Vec3(x, y, z), value, gradient));
                EXPECT_NEAR(value, rough.at(x, y, z), 1e-5) << x << " " << y << " " << z;
            }
}

TEST(RigidImageMetric, GradientMatchesFiniteDifferences)
{
    const auto fixedImage = sampledImage(24, 4.0, blobs);
    const auto movingImage = movedBlobs(24, 4.0, rigid(Vec3(1, 2, 3), 5.0, Vec3(2, -1, 1)), secondModality);
    const Volume fixed = volumeFrom(*fixedImage, centredPixelToWorld(*fixedImage));
    const Volume moving = volumeFrom(*movingImage, centredPixelToWorld(*movingImage));
    RigidPose pose;
    pose.centre = Vec3(1, -2, 0.5);
    pose.translation = Vec3(0.3, 0.2, -0.4);
    using Interpolation = RigidImageMetric::Interpolation;
    const ImageMetric kinds[] = {ImageMetric::MattesMutualInformation, ImageMetric::NormalizedCrossCorrelation,
                                 ImageMetric::MeanSquares};
    for (const Interpolation interpolation : {Interpolation::Trilinear, Interpolation::CubicBSpline})
        for (const ImageMetric kind : kinds) {
            const RigidImageMetric metric(fixed, moving, kind, 24, 4000, 2, interpolation);
            PoseGradient analytic;
            metric.evaluate(pose, &analytic);
            const double h = 1e-4;
            for (int k = 0; k < 6; ++k) {
                Vec3 rotation = Vec3::Zero(), shift = Vec3::Zero();
                (k < 3 ? rotation[k] : shift[k - 3]) = h;
                const double numeric = (metric.evaluate(pose.moved(rotation, shift), nullptr) -
                                        metric.evaluate(pose.moved(-rotation, -shift), nullptr)) / (2.0 * h);
                EXPECT_NEAR(analytic[k], numeric, 0.02 * analytic.cwiseAbs().maxCoeff())
                    << metricName(kind) << (interpolation == Interpolation::CubicBSpline ? ", spline" : ", trilinear") << " parameter " << k;
            }
        }
}

struct BlobRecovery : ::testing::Test {
    // The blobs and a copy rotated 8 degrees about an oblique axis and shifted by (4, -3, 2) mm.
    const Mat4 motion = rigid(Vec3(1, 2, 3), 8.0, Vec3(4, -3, 2));
    const Mat4 expected = motion.inverse();
    const std::unique_ptr<Image> fixed = sampledImage(size, spacing, blobs);

    RigidImageRegistrationResult run(const Image& moving, const RigidImageRegistrationOptions& options = {},
                                     const Algorithm::ProgressCallback& progress = {}) const
    {
        return registerImagesRigidly(*fixed, centredPixelToWorld(*fixed), moving, centredPixelToWorld(moving), options, progress);
    }
    double translationError(const Mat4& found) const
    {
        return (found.topRightCorner<3, 1>() - expected.topRightCorner<3, 1>()).norm();
    }
};

TEST_F(BlobRecovery, EveryMetricRecoversTheMotion)
{
    const auto sameModality = movedBlobs(size, spacing, motion);
    const auto otherModality = movedBlobs(size, spacing, motion, secondModality);
    const struct {
        ImageMetric metric;
        const Image* moving;
        double degrees, millimetres;
    } cases[] = {
        {ImageMetric::MattesMutualInformation, sameModality.get(), 0.5, 0.5},
        {ImageMetric::NormalizedCrossCorrelation, sameModality.get(), 0.5, 0.5},
        {ImageMetric::MeanSquares, sameModality.get(), 0.5, 0.5},
        {ImageMetric::MattesMutualInformation, otherModality.get(), 1.0, 1.0},
    };
    for (const auto& c : cases) {
        RigidImageRegistrationOptions options;
        options.metric = c.metric;
        const RigidImageRegistrationResult result = run(*c.moving, options);
        ASSERT_EQ(result.status, Algorithm::Success) << result.message;
        EXPECT_LT(rotationErrorDegrees(result.transformation, expected), c.degrees) << metricName(c.metric);
        EXPECT_LT(translationError(result.transformation), c.millimetres) << metricName(c.metric);
        EXPECT_GT(result.iterations, 0);
    }
}

TEST_F(BlobRecovery, MutualInformationSettlesWithinHundredthsOfADegreeAndMillimetre)
{
    // Far below the voxel (2.4 mm): the optimiser follows the gradient to where it vanishes instead
    // of stopping where samples leaving the moving image make the cost jump, and the smooth
    // windows and the lattice of samples put that point on the true motion.
    for (const bool remapped : {false, true}) {
        const auto moving = remapped ? movedBlobs(size, spacing, motion, secondModality) : movedBlobs(size, spacing, motion);
        const RigidImageRegistrationResult result = run(*moving);
        ASSERT_EQ(result.status, Algorithm::Success) << result.message;
        EXPECT_LT(rotationErrorDegrees(result.transformation, expected), 0.02) << (remapped ? "second modality" : "same modality");
        EXPECT_LT(translationError(result.transformation), 0.02) << (remapped ? "second modality" : "same modality");
    }
}

TEST_F(BlobRecovery, NonFiniteVoxelsCountAsTheLowestIntensity)
{
    // A NaN and an infinity in a corner of either image: the rest still registers.
    const auto spoil = [](Image& image) {
        float* pixels = reinterpret_cast<float*>(image.data());
        pixels[0] = std::numeric_limits<float>::quiet_NaN();
        pixels[image.numPixels() - 1] = std::numeric_limits<float>::infinity();
    };
    for (const bool spoilFixed : {true, false}) {
        const auto fixedImage = sampledImage(size, spacing, blobs);
        const auto moving = movedBlobs(size, spacing, motion, secondModality);
        spoil(spoilFixed ? *fixedImage : *moving);
        const RigidImageRegistrationResult result =
            registerImagesRigidly(*fixedImage, centredPixelToWorld(*fixedImage), *moving, centredPixelToWorld(*moving));
        ASSERT_EQ(result.status, Algorithm::Success) << result.message;
        EXPECT_LT(rotationErrorDegrees(result.transformation, expected), 0.1) << (spoilFixed ? "fixed" : "moving");
        EXPECT_LT(translationError(result.transformation), 0.1) << (spoilFixed ? "fixed" : "moving");
    }
}

TEST_F(BlobRecovery, ThreadCountDoesNotChangeTheResult)
{
    const auto moving = movedBlobs(size, spacing, motion);
    RigidImageRegistrationOptions options;
    options.samples = 5000;
    options.threads = 1;
    const RigidImageRegistrationResult single = run(*moving, options);
    options.threads = 3;
    const RigidImageRegistrationResult several = run(*moving, options);
    EXPECT_EQ(single.transformation, several.transformation);
    EXPECT_EQ(single.iterations, several.iterations);
}

TEST_F(BlobRecovery, StopsWhenTheCallerAsks)
{
    const auto moving = movedBlobs(size, spacing, motion);
    const std::thread::id caller = std::this_thread::get_id();
    int calls = 0;
    const RigidImageRegistrationResult result = run(*moving, {}, [&](double, const std::string&) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        return ++calls < 5;
    });
    EXPECT_EQ(result.status, Algorithm::Cancelled);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(result.transformation, Mat4::Identity());
}

TEST_F(BlobRecovery, RefusesInvalidInput)
{
    const auto flat = std::make_unique<Image>(PixelType::UInt8, std::array<int, 3>{32, 32, 1});
    Mat4 singular = centredPixelToWorld(*fixed);
    singular.col(2).setZero();
    const auto withOption = [](auto change) {
        RigidImageRegistrationOptions options;
        change(options);
        return options;
    };
    const struct {
        const Image* moving;
        Mat4 movingPixelToWorld;
        RigidImageRegistrationOptions options;
        std::string messagePart;
    } cases[] = {
        {flat.get(), centredPixelToWorld(*flat), {}, "at least 4 pixels"},
        {fixed.get(), singular, {}, "not invertible"},
        {fixed.get(), centredPixelToWorld(*fixed), withOption([](auto& o) { o.levels = 0; }), "out of range"},
        {fixed.get(), centredPixelToWorld(*fixed), withOption([](auto& o) { o.histogramBins = 4; }), "out of range"},
        {fixed.get(), centredPixelToWorld(*fixed), withOption([](auto& o) { o.minimumStep = 2.0; }), "out of range"},
    };
    for (const auto& c : cases) {
        const RigidImageRegistrationResult result =
            registerImagesRigidly(*fixed, centredPixelToWorld(*fixed), *c.moving, c.movingPixelToWorld, c.options);
        EXPECT_EQ(result.status, Algorithm::InvalidInput);
        EXPECT_NE(result.message.find(c.messagePart), std::string::npos) << result.message;
    }
}

}  // namespace
}  // namespace corvaxis::registration
