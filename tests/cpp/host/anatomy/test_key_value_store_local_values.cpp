#include "corvaxis/anatomy/GenericAnatomicalStructure.h"

#include <gtest/gtest.h>

using namespace corvaxis;

namespace {
Mat4 translation(double x, double y, double z)
{
    Mat4 matrix = Mat4::Identity();
    matrix.block<3, 1>(0, 3) = Vec3(x, y, z);
    return matrix;
}
}  // namespace

TEST(KeyValueStoreLocalValues, VectorsFollowTheFrameUnlessSynchronizationIsOff)
{
    const Mat4 frame = translation(10, 0, 0);
    KeyValueStore<Vec3> store(&frame);
    auto& entry = store["p"];
    entry = Vec3(11, 2, 3);
    EXPECT_TRUE(entry.localValue().isApprox(Vec3(1, 2, 3)));
    entry.editAttributes().setParam("synchronization", false);
    entry = Vec3(20, 0, 0);
    EXPECT_TRUE(entry.localValue().isApprox(Vec3(1, 2, 3)));
    entry.editAttributes().setParam("synchronization", true);
    entry = Vec3(20, 0, 0);
    EXPECT_TRUE(entry.localValue().isApprox(Vec3(10, 0, 0)));
}

TEST(KeyValueStoreLocalValues, ObjectsFollowTheirOwnMatrixUntilTaken)
{
    const Mat4 frame = translation(0, 5, 0);
    KeyValueStore<Mesh> store(&frame);
    store["m"] = std::make_unique<Mesh>();
    EXPECT_TRUE(store["m"].localValue().isApprox(translation(0, -5, 0)));
    store["m"].value()->setMatrix(translation(1, 5, 0));
    EXPECT_TRUE(store["m"].localValue().isApprox(translation(1, 0, 0)));

    std::unique_ptr<Mesh> taken = store.take("m");
    EXPECT_EQ(taken->signalChanged.numConnections(), 0u);
    taken->setMatrix(translation(2, 2, 2));  // must reach no destroyed entry

    KeyValueStore<PointCloud> unframed;
    auto cloud = std::make_unique<PointCloud>();
    cloud->setMatrix(translation(3, 4, 5));
    unframed["c"] = std::move(cloud);
    EXPECT_EQ(unframed["c"].localValue(), translation(3, 4, 5));
    std::unique_ptr<PointCloud> replaced = unframed["c"].replace(std::make_unique<PointCloud>());
    EXPECT_EQ(replaced->signalChanged.numConnections(), 0u);
}

TEST(KeyValueStoreLocalValues, StructureMatrixUpdatesLocalValuesOnlyWhenAsked)
{
    GenericAnatomicalStructure structure("liver");
    structure.keypoints["tip"] = Vec3(1, 1, 1);
    structure.meshes["surface"] = std::make_unique<Mesh>();
    structure.setMatrixToWorld(translation(1, 0, 0), false);
    EXPECT_EQ(structure.keypoints["tip"].localValue(), Vec3(1, 1, 1));
    structure.setMatrixToWorld(translation(1, 0, 0), true);
    EXPECT_TRUE(structure.keypoints["tip"].localValue().isApprox(Vec3(0, 1, 1)));
    EXPECT_TRUE(structure.meshes["surface"].localValue().isApprox(translation(-1, 0, 0)));
}

TEST(KeyValueStoreLocalValues, HundredThousandKeypointsAssignedOneByOne)
{
    KeyValueStore<Vec3> store;
    std::size_t added = 0;
    SignalReceiver receiver;
    store.signalEntryAdded.connect(&receiver, [&](const std::string&, KeyValueStore<Vec3>::Entry&) { ++added; });
    for (int i = 0; i < 100000; ++i)
        store["landmark" + std::to_string(i)] = Vec3(i, 0, 0);
    EXPECT_EQ(added, 100000u);
    EXPECT_EQ(store["landmark99999"].value(), Vec3(99999, 0, 0));
}
