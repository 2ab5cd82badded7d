#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "binding_detail/KeyDeclarations.h"
#include "binding_detail/KeyRegistry.h"

namespace corvaxis {
namespace {

std::vector<std::string> keyTexts()
{
    std::vector<std::string> texts;
    for (const KeyBase* key : allKeys)
        texts.push_back(*key);
    return texts;
}

TEST(KeyDeclarations, ConvertsToItsTextThroughTheBase)
{
    const KeyBase& base = Keys::BoundingBox::UpperLeft::key;
    EXPECT_EQ(static_cast<std::string>(base), "Corvaxis.BoundingBox.UpperLeft");
    EXPECT_EQ(static_cast<std::string>(Keys::Position::key), "Corvaxis.Position");
    // The array holds the text and its terminating NUL, nothing more.
    static_assert(sizeof(Keys::Position::key.text) == sizeof("Corvaxis.Position"));
}

TEST(KeyDeclarations, ListHas155DistinctKeysInOrder)
{
    const std::vector<std::string> texts = keyTexts();
    ASSERT_EQ(texts.size(), 155u);
    EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), texts.size());
    EXPECT_EQ(texts.front(), "Corvaxis.Position");
    EXPECT_EQ(texts[8], "Corvaxis.BoundingBox");
    EXPECT_EQ(texts[21], "Corvaxis.Spine");
    EXPECT_EQ(texts[83], "Corvaxis.Ribs.LeftRib10");
    EXPECT_EQ(texts.back(), "Corvaxis.Lungs.RightLung.MiddleLobe");
}

TEST(KeyDeclarations, EveryParentPathIsAnEarlierKey)
{
    const std::vector<std::string> texts = keyTexts();
    std::set<std::string> seen;
    for (const std::string& text : texts) {
        ASSERT_EQ(text.rfind("Corvaxis.", 0), 0u) << text;
        const std::size_t lastDot = text.rfind('.');
        const std::string parent = text.substr(0, lastDot);
        if (parent != "Corvaxis") {
            EXPECT_TRUE(seen.contains(parent)) << text << " comes before its parent";
        }
        EXPECT_NE(lastDot + 1, text.size()) << text << " has an empty last component";
        seen.insert(text);
    }
}

TEST(KeyDeclarations, KeepsTheHistoricalSpellingOfCervicalVertebrae)
{
    const std::vector<std::string> texts = keyTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Corvaxis.Spine.CervicalVertrebrae"), texts.end());
    EXPECT_EQ(std::find(texts.begin(), texts.end(), "Corvaxis.Spine.CervicalVertebrae"), texts.end());
}

TEST(KeyRegistry, HoldsWholeCopiesOfTheListOnePerIncludingUnit)
{
    // This unit includes the declarations too, so at least one copy is present; units linked in
    // from the module add theirs, each as one contiguous run in list order.
    const std::vector<std::string> texts = keyTexts();
    const std::vector<std::string>& registry = KeyRegistry::getRegistry();
    ASSERT_GE(registry.size(), texts.size());
    ASSERT_EQ(registry.size() % texts.size(), 0u);
    for (std::size_t i = 0; i < registry.size(); ++i)
        ASSERT_EQ(registry[i], texts[i % texts.size()]) << "at registry index " << i;
}

TEST(KeyRegistry, ReturnsTheSameList)
{
    EXPECT_EQ(&KeyRegistry::getRegistry(), &KeyRegistry::getRegistry());
}

}  // namespace
}  // namespace corvaxis
