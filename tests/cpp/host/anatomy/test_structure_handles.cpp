#include "corvaxis/anatomy/AnatomicalStructureInvalidException.h"
#include "corvaxis/anatomy/AnatomicalStructureWrapper.h"
#include "corvaxis/anatomy/GenericASC.h"

#include <gtest/gtest.h>

using namespace corvaxis;

namespace {
std::string failureOf(const AnatomicalStructureWrapper& handle)
{
    try {
        handle->identifier();
    }
    catch (const AnatomicalStructureInvalidException& error) {
        return error.what();
    }
    return "no failure";
}

AnatomicalStructure* addGeneric(AnatomicalStructureCollection& collection, const std::string& identifier)
{
    std::unique_ptr<AnatomicalStructure> structure = std::make_unique<GenericAnatomicalStructure>(identifier);
    collection.addAnatomicalStructure(structure);
    return collection.anatomicalStructureByIdentifier(identifier);
}
}  // namespace

TEST(StructureHandles, HandlesTurnInvalidWhenTheCollectionGoes)
{
    auto collection = std::make_unique<GenericASC>();
    AnatomicalStructure* liver = addGeneric(*collection, "liver");
    const AnatomicalStructureWrapper handle(liver);
    const AnatomicalStructureWrapper copy(handle);
    EXPECT_EQ(handle->identifier(), "liver");
    static_cast<GenericAnatomicalStructure*>(liver)->setIdentifier("renamed");
    collection.reset();
    EXPECT_FALSE(copy.isValid());
    EXPECT_EQ(failureOf(copy), "AnatomicalStructure 'renamed' no longer exists");
    EXPECT_EQ(failureOf(AnatomicalStructureWrapper(nullptr)), "AnatomicalStructure handle refers to no structure");
}

TEST(StructureHandles, TakenStructuresLiveAsLongAsTheirOwningHandles)
{
    GenericASC collection;
    AnatomicalStructure* kidney = addGeneric(collection, "kidney");
    const AnatomicalStructureWrapper earlier(kidney);
    auto owner = std::make_unique<AnatomicalStructureWrapper>(collection.takeAnatomicalStructure(kidney));
    auto sharedOwner = std::make_unique<AnatomicalStructureWrapper>(*owner);
    owner.reset();
    EXPECT_TRUE(earlier.isValid());
    sharedOwner.reset();
    EXPECT_EQ(failureOf(earlier), "AnatomicalStructure 'kidney' no longer exists");

    const AnatomicalStructureWrapper toDropped(addGeneric(collection, "spleen"));
    collection.takeAnatomicalStructure(collection.anatomicalStructure(0));
    EXPECT_FALSE(toDropped.isValid());
}

TEST(StructureHandles, GenericHandlesOwnANewStructureAndReportRenames)
{
    GenericAnatomicalStructureWrapper unnamed;
    GenericAnatomicalStructureWrapper liver("liver");
    EXPECT_EQ(unnamed->identifier(), "");
    EXPECT_FALSE(liver->is2D());
    int modifications = 0;
    SignalReceiver receiver;
    liver->signalModified.connect(&receiver, [&] { ++modifications; });
    liver->setIdentifier("liver");
    EXPECT_EQ(modifications, 0);
    liver->setIdentifier("left liver");
    EXPECT_EQ(modifications, 1);
    EXPECT_EQ(liver->displayName(), "left liver");
}
