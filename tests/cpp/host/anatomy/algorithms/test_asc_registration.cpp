#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include "../../core/registration/ImageFixtures.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <memory>

using namespace corvaxis;
using Method = ASCRegistration::RegistrationMethod;

namespace {

struct SignalCounter : SignalReceiver {
    explicit SignalCounter(ParameterBase& parameter)
    {
        parameter.signalChanged.connect(this, [this](const ParameterBase*) { ++count; });
    }
    int count = 0;
};

Mat4 rigid(double angle, const Vec3& translation)
{
    Mat4 transformation = Mat4::Identity();
    transformation.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, Vec3(1, 2, 2).normalized()).toRotationMatrix();
    transformation.topRightCorner<3, 1>() = translation;
    return transformation;
}

/// A collection with one structure "liver" holding the given world keypoints under "k0", "k1"...
std::unique_ptr<GenericASC> collectionWith(const std::vector<Vec3>& points, const Mat4& frame = Mat4::Identity())
{
    auto collection = std::make_unique<GenericASC>(false);
    std::unique_ptr<AnatomicalStructure> liver = std::make_unique<GenericAnatomicalStructure>("liver", false);
    liver->setMatrixToWorld(frame, true);
    for (std::size_t i = 0; i < points.size(); ++i)
        liver->keypoints["k" + std::to_string(i)] = points[i];
    collection->addAnatomicalStructure(liver);
    return collection;
}

const std::vector<Vec3> corners = {{0, 0, 0}, {10, 0, 0}, {0, 20, 0}, {0, 0, 30}};

}  // namespace

TEST(ASCRegistration, MethodParameterDefaultsToPointsAndPlanesAndSignalsOnlyChanges)
{
    auto fixed = collectionWith(corners);
    auto moving = collectionWith(corners);
    ASCRegistration registration(*fixed, *moving, nullptr, nullptr);
    EXPECT_EQ(registration.p_registrationMethod.value(), Method::PointsAndPlanes);
    EXPECT_EQ(registration.parameter("registrationMethod"), &registration.p_registrationMethod);
    EXPECT_EQ(registration.p_planeWeight.value(), 1.0);

    SignalCounter changes(registration.p_registrationMethod);
    registration.p_registrationMethod = Method::PointsAndPlanes;
    EXPECT_EQ(changes.count, 0);
    registration.p_registrationMethod = Method::PointsRigidScaling;
    registration.p_registrationMethod = Method::PointsRigidScaling;
    EXPECT_EQ(changes.count, 1);
}

TEST(ASCRegistration, MovesTheFrameAndKeepsLocalValuesIncludingUnsynchronisedOnes)
{
    const Mat4 truth = rigid(0.7, {5, -3, 12});
    std::vector<Vec3> fixedPoints;
    for (const Vec3& corner : corners)
        fixedPoints.push_back((truth * corner.homogeneous()).head<3>());
    auto fixed = collectionWith(fixedPoints);
    auto moving = collectionWith(corners, rigid(-0.2, {1, 1, 1}));
    AnatomicalStructure& liver = *moving->anatomicalStructure(0);
    // A keypoint whose local value is kept apart from its world value on purpose.
    liver.keypoints["pinned"] = Vec3(1, 2, 3);
    liver.keypoints["pinned"].editAttributes().setParam("synchronization", false);
    const Vec3 pinnedLocal = liver.keypoints["pinned"].localValue();
    const Vec3 k1Local = liver.keypoints["k1"].localValue();

    ASCRegistration registration(*fixed, *moving, nullptr, nullptr);
    registration.compute();
    ASSERT_EQ(registration.status(), Algorithm::Success) << registration.statusMessage();
    EXPECT_LT((liver.matrixToWorld() - truth * rigid(-0.2, {1, 1, 1})).norm(), 1e-9);
    EXPECT_LT((liver.keypoints["k1"].value() - fixedPoints[1]).norm(), 1e-9);
    EXPECT_LT((liver.keypoints["k1"].localValue() - k1Local).norm(), 1e-9);
    EXPECT_EQ(liver.keypoints["pinned"].localValue(), pinnedLocal);
    EXPECT_EQ(fixed->anatomicalStructure(0)->keypoints["k1"].value(), fixedPoints[1]);
}

namespace {

/// A set holding one image of the blobs (moved by motion), placed so that its voxel-to-world mapping
/// is the centred one the fixture samples with.
std::unique_ptr<SharedImageSet> blobSet(const Mat4& motion)
{
    auto image = registration::testing::movedBlobs(32, 2.4, motion);
    image->matrix = registration::centredPixelToWorld(*image) * Eigen::Vector4d(1.0 / 2.4, 1.0 / 2.4, 1.0 / 2.4, 1.0).asDiagonal();
    auto set = std::make_unique<SharedImageSet>();
    set->add(std::move(image));
    return set;
}

}  // namespace

TEST(ASCRegistration, RegistersTheGivenImageSetsInsteadOfTheCollectionsImages)
{
    const Mat4 motion = rigid(0.1, {4, -3, 2});
    const std::unique_ptr<SharedImageSet> fixedImages = blobSet(Mat4::Identity()), movingImages = blobSet(motion);
    auto fixed = collectionWith({});
    auto moving = collectionWith(corners);
    ASCRegistration registration(*fixed, *moving, fixedImages.get(), movingImages.get());
    registration.p_registrationMethod = Method::RigidImages;
    registration.compute();
    ASSERT_EQ(registration.status(), Algorithm::Success) << registration.statusMessage();

    Mat4 found = Mat4::Identity();
    ASSERT_TRUE(registration.results().param("transformation", found));
    const Mat4 expected = motion.inverse();
    EXPECT_LT(registration::testing::rotationErrorDegrees(found, expected), 0.5);
    EXPECT_LT((found.topRightCorner<3, 1>() - expected.topRightCorner<3, 1>()).norm(), 0.5);
    // The collection moves; the given sets belong to the caller and stay where they are.
    EXPECT_EQ(moving->anatomicalStructure(0)->matrixToWorld(), found);
    EXPECT_EQ(movingImages->matrix(), Mat4::Identity());
}

TEST(ASCRegistration, RefusesOneGivenImageSetWithoutTheOther)
{
    const std::unique_ptr<SharedImageSet> images = blobSet(Mat4::Identity());
    auto fixed = collectionWith(corners);
    auto moving = collectionWith(corners, rigid(0.3, {1, 2, 3}));
    for (const bool fixedGiven : {true, false}) {
        ASCRegistration registration(*fixed, *moving, fixedGiven ? images.get() : nullptr,
                                     fixedGiven ? nullptr : images.get());
        registration.p_registrationMethod = Method::RigidImages;
        registration.compute();
        EXPECT_EQ(registration.status(), Algorithm::InvalidInput);
        EXPECT_NE(registration.statusMessage().find("needs both image sets"), std::string::npos);
        EXPECT_EQ(moving->anatomicalStructure(0)->matrixToWorld(), rigid(0.3, {1, 2, 3}));
    }
}
