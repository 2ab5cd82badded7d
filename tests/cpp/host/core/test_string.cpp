#include "corvaxis/core/String.h"

#include <gtest/gtest.h>

using corvaxis::String::splitCamelCase;
using Words = std::vector<std::string>;

TEST(SplitCamelCase, WordsDigitsAndCapitalRuns)
{
    EXPECT_EQ(splitCamelCase("UpperLeftFront"), (Words{"Upper", "Left", "Front"}));
    EXPECT_EQ(splitCamelCase("LeftRib10"), (Words{"Left", "Rib10"}));
    EXPECT_EQ(splitCamelCase("LeftForamen1"), (Words{"Left", "Foramen1"}));
    EXPECT_EQ(splitCamelCase("ABC"), (Words{"ABC"}));
    EXPECT_EQ(splitCamelCase("HTTPServer"), (Words{"HTTP", "Server"}));
    EXPECT_EQ(splitCamelCase("x2Y"), (Words{"x2", "Y"}));
    EXPECT_EQ(splitCamelCase("lower"), (Words{"lower"}));
    EXPECT_EQ(splitCamelCase("Left_Rib"), (Words{"Left", "Rib"}));
    EXPECT_TRUE(splitCamelCase("").empty());
}

TEST(Split, KeepsEmptyPartsInOrder)
{
    EXPECT_EQ(corvaxis::String::split("Corvaxis.Spine.Sacrum", '.'), (Words{"Corvaxis", "Spine", "Sacrum"}));
    EXPECT_EQ(corvaxis::String::split("a..b.", '.'), (Words{"a", "", "b", ""}));
    EXPECT_EQ(corvaxis::String::split("", '.'), (Words{""}));
}

TEST(StringCase, LowerInPlaceUpperCopyJoinContains)
{
    std::string text = "LeftRib10";
    corvaxis::String::toLower(text);
    EXPECT_EQ(text, "leftrib10");
    EXPECT_EQ(corvaxis::String::toUpperCopy("abc-Z9"), "ABC-Z9");
    EXPECT_EQ(corvaxis::String::join({"a", "b", "c"}, ", "), "a, b, c");
    EXPECT_EQ(corvaxis::String::join({}, ", "), "");
    EXPECT_TRUE(corvaxis::String::contains("PyDataComponentX", "PyDataComponent"));
    EXPECT_FALSE(corvaxis::String::contains("abc", "abd"));
}

TEST(Utf8, WellFormedSequencesOnly)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"", true},
        {"plain ASCII", true},
        {"h\xC3\xBCgel \xE2\x82\xAC \xF0\x9F\xA6\xB4", true},  // two-, three- and four-byte forms
        {std::string("nul\0inside", 10), true},
        {"\xFF\xFE", false},                                  // never part of UTF-8
        {"\xC3", false},                                      // cut short
        {"\xC0\xAF", false},                                  // overlong
        {"\xE0\x80\xAF", false},                              // overlong, three bytes
        {"\xED\xA0\x80", false},                              // a surrogate
        {"\xF4\x90\x80\x80", false},                          // past U+10FFFF
        {"\xE2\x82", false},                                  // cut short, three bytes
        {"\x80", false},                                      // a lone continuation byte
    };
    for (const auto& [text, valid] : cases)
        EXPECT_EQ(corvaxis::String::isValidUtf8(text), valid) << testing::PrintToString(text);
}
