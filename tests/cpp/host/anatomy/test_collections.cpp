#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"

#include <gtest/gtest.h>

using namespace corvaxis;

namespace {
// A structure of a kind other than the generic one.
class OtherStructure : public AnatomicalStructure {
public:
    OtherStructure() : AnatomicalStructure(false) {}
    std::string identifier() const override { return "other"; }
    std::unique_ptr<AnatomicalStructure> clone() const override { return std::make_unique<OtherStructure>(); }
};

struct ChangeCounter : SignalReceiver {
    explicit ChangeCounter(Data& data) { data.signalChanged.connect(this, [this](const Data*) { ++count; }); }
    int count = 0;
};

std::unique_ptr<AnatomicalStructure> generic(const std::string& identifier, bool is2D = false)
{
    return std::make_unique<GenericAnatomicalStructure>(identifier, is2D);
}
}  // namespace

TEST(Collections, RefusedStructuresStayWithTheCaller)
{
    GenericASC collection(false);
    ChangeCounter changes(collection);
    std::unique_ptr<AnatomicalStructure> flat = generic("slice", true);
    std::unique_ptr<AnatomicalStructure> other = std::make_unique<OtherStructure>();
    const AnatomicalStructure* flatAddress = flat.get();
    EXPECT_FALSE(collection.addAnatomicalStructure(flat));
    EXPECT_FALSE(collection.addAnatomicalStructure(other));
    EXPECT_EQ(flat.get(), flatAddress);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(collection.numAnatomicalStructures(), 0);
    EXPECT_EQ(changes.count, 0);
    GenericASC flatCollection(true);
    EXPECT_TRUE(flatCollection.addAnatomicalStructure(flat));
    EXPECT_EQ(flat, nullptr);
}

TEST(Collections, IndexOrderLookupAndTake)
{
    GenericASC collection;
    ChangeCounter changes(collection);
    for (const char* identifier : {"liver", "kidney", "liver"}) {
        auto structure = generic(identifier);
        collection.addAnatomicalStructure(structure);
    }
    EXPECT_EQ(collection.anatomicalStructureByIdentifier("liver"), collection.anatomicalStructure(0));
    EXPECT_EQ(collection.anatomicalStructureByIdentifier("heart"), nullptr);
    EXPECT_EQ(collection.anatomicalStructure(-1), nullptr);
    GenericAnatomicalStructure stranger("stranger");
    EXPECT_EQ(collection.takeAnatomicalStructure(&stranger), nullptr);

    auto taken = collection.takeAnatomicalStructure(collection.anatomicalStructure(0));
    EXPECT_EQ(taken->identifier(), "liver");
    EXPECT_EQ(collection.anatomicalStructure(0)->identifier(), "kidney");
    EXPECT_EQ(collection.numAnatomicalStructures(), 2);
    EXPECT_EQ(changes.count, 4);
}

TEST(Collections, ClonesAreDeepAndIndependent)
{
    GenericASC collection;
    auto owned = std::make_unique<GenericAnatomicalStructure>("liver");
    GenericAnatomicalStructure& liver = *owned;
    liver.setMatrixToWorld(Mat4::Identity() * 2, true);
    liver.keypoints["tip"] = Vec3(1, 2, 3);
    liver.keypoints["tip"].editAttributes().setParam("synchronization", false);
    liver.keypoints["tip"] = Vec3(9, 9, 9);  // local value now stale on purpose
    liver.meshes["surface"] = std::make_unique<Mesh>();
    liver.images["labels"] = std::make_unique<SharedImageSet>();  // no images: cannot clone itself
    liver.images["labels"].value()->setModality(Modality::Label);
    std::unique_ptr<AnatomicalStructure> asBase = std::move(owned);
    collection.addAnatomicalStructure(asBase);

    const std::unique_ptr<AnatomicalStructureCollection> copy = collection.clone();
    EXPECT_EQ(copy->kindName(), "GenericASC");
    auto* copied = static_cast<GenericAnatomicalStructure*>(copy->anatomicalStructure(0));
    EXPECT_EQ(copied->matrixToWorld(), liver.matrixToWorld());
    EXPECT_EQ(copied->keypoints["tip"].value(), Vec3(9, 9, 9));
    EXPECT_EQ(copied->keypoints["tip"].localValue(), liver.keypoints["tip"].localValue());
    EXPECT_EQ(copied->keypoints["tip"].attributes(), liver.keypoints["tip"].attributes());
    EXPECT_EQ(copied->images["labels"].value()->modality(), Modality::Label);

    liver.setIdentifier("changed");
    liver.keypoints.take("tip");
    liver.meshes["surface"].value()->setMatrix(Mat4::Identity() * 4);
    EXPECT_EQ(copied->identifier(), "liver");
    EXPECT_TRUE(copied->keypoints.has("tip"));
    EXPECT_TRUE(copied->meshes["surface"].localValue().isApprox(Mat4::Identity() * 0.5));
    copied->meshes["surface"].value()->setMatrix(Mat4::Identity() * 8);
    EXPECT_TRUE(copied->meshes["surface"].localValue().isApprox(Mat4::Identity() * 4));
}
