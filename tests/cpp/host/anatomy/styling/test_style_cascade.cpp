#include "StylingTestSupport.h"

#include "corvaxis/anatomy/styling/StyleCascade.h"

#include <gtest/gtest.h>

#include <vector>

using namespace corvaxis;
using namespace corvaxis::styling_test;
using AnatomyPlugin::readColor;
using AnatomyPlugin::StyleCascade;

namespace {

const StyledObject liverMesh{"liver", ContentType::Mesh, "surface", nullptr};
const StyledObject spleenMesh{"spleen", ContentType::Mesh, "surface", nullptr};
const StyledObject liverTip{"liver", ContentType::Keypoint, "tip", nullptr};

Properties::Value resolvedValue(const std::vector<StyleSheet>& sheets, const StyledObject& object,
                                const std::string& name)
{
    const Properties resolved = StyleCascade(sheets).resolve(object);
    const Properties::Param* param = resolved.find(name);
    return param ? param->value : Properties::Value(std::string("<unset>"));
}

struct CascadeCase {
    const char* description;
    std::vector<std::pair<const char*, double>> firstSheet;  // selector, line_width
    std::vector<std::pair<const char*, double>> secondSheet;
    bool secondEnabled;
    double expected;  // line_width of the liver mesh
};

class Cascade : public testing::TestWithParam<CascadeCase> {};

TEST_P(Cascade, MoreSpecificThenLaterWins)
{
    std::vector<StyleSheet> sheets{StyleSheet("first"), StyleSheet("second")};
    for (const auto& [text, width] : GetParam().firstSheet)
        declare(sheets[0], text, "line_width", width);
    for (const auto& [text, width] : GetParam().secondSheet)
        declare(sheets[1], text, "line_width", width);
    sheets[1].enabled = GetParam().secondEnabled;
    EXPECT_EQ(resolvedValue(sheets, liverMesh, "line_width"), Properties::Value(GetParam().expected))
        << GetParam().description;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Cascade,
    testing::Values(
        CascadeCase{"later rule in a sheet", {{"mesh", 1}, {"*", 9}, {"mesh", 2}}, {}, true, 2},
        CascadeCase{"kind over any, whatever the order", {{"mesh", 1}, {"*", 2}}, {}, true, 1},
        CascadeCase{"key over kind", {{"[key=surface]", 3}, {"mesh", 1}}, {}, true, 3},
        CascadeCase{"identifier over key", {{"#liver", 4}, {"mesh[key=surface]", 3}}, {}, true, 4},
        CascadeCase{"identifier and kind over identifier", {{"mesh#liver", 5}, {"#liver", 4}}, {}, true, 5},
        CascadeCase{"wildcard identifier counts as identifier", {{"#l*", 6}, {"mesh[key=surface]", 3}}, {}, true, 6},
        CascadeCase{"later sheet at equal specificity", {{"mesh", 1}}, {{"mesh", 2}}, true, 2},
        CascadeCase{"earlier sheet when more specific", {{"#liver", 1}}, {{"mesh", 2}}, true, 1},
        CascadeCase{"disabled sheet takes no part", {{"mesh", 1}}, {{"mesh#liver", 2}}, false, 1},
        CascadeCase{"not matching rules take no part", {{"mesh", 1}, {"#spleen", 7}, {"graph", 8}}, {}, true, 1}));

TEST(CascadeFallback, SpecificPropertiesFallBackToGeneralOnes)
{
    std::vector<StyleSheet> sheets{StyleSheet("base")};
    declare(sheets[0], "*", "color", Vec4(1, 0, 0, 0.5));
    declare(sheets[0], "*", "visibility", true);
    declare(sheets[0], "*", "alpha", 0.25);
    declare(sheets[0], "mesh", "visibility_wireframe", false);
    declare(sheets[0], "mesh", "color_line", Vec3(0, 0, 1));
    const Properties resolved = StyleCascade(sheets).resolve(liverMesh);
    const auto value = [&](const char* name) { return resolved.find(name)->value; };
    EXPECT_EQ(value("color_surface"), Properties::Value(Vec4(1, 0, 0, 0.5)));
    EXPECT_EQ(value("color_line"), Properties::Value(Vec3(0, 0, 1)));
    EXPECT_EQ(value("visibility_surface"), Properties::Value(true));
    EXPECT_EQ(value("visibility_wireframe"), Properties::Value(false));
    EXPECT_EQ(value("alpha_line"), Properties::Value(0.25));
    // Two steps, and only the RGB of the surface colour.
    EXPECT_EQ(value("diffuse_surface"), Properties::Value(Vec3(1, 0, 0)));
    EXPECT_FALSE(resolved.hasParam("line_width"));
    // Known properties come in enumeration order.
    EXPECT_EQ(resolved.params().front().name, "visibility");
}

TEST(CascadeFallback, NothingMatchingGivesNothing)
{
    std::vector<StyleSheet> sheets{StyleSheet("base")};
    declare(sheets[0], "graph", "color", Vec3(1, 1, 1));
    EXPECT_TRUE(StyleCascade(sheets).resolve(liverMesh).empty());
    EXPECT_TRUE(StyleCascade().resolve(liverMesh).empty());
}

struct OverrideCase {
    bool allow;
    Properties::Value ownColor;
    Properties::Value expected;
};

class AttributeOverride : public testing::TestWithParam<OverrideCase> {};

TEST_P(AttributeOverride, ObjectColorWinsOnlyWhenAllowedAndUsable)
{
    std::vector<StyleSheet> sheets{StyleSheet("base")};
    declare(sheets[0], "#kidney", "color", Vec3(0, 1, 0));
    declare(sheets[0], "*", "allow_object_attributes_override", GetParam().allow);
    Properties own;
    own.setParam("color", GetParam().ownColor);
    own.setParam("line_width", 7.0);  // not a property an object may override
    const StyledObject kidney{"kidney", ContentType::Mesh, "surface", &own};
    EXPECT_EQ(resolvedValue(sheets, kidney, "color"), GetParam().expected);
    EXPECT_EQ(resolvedValue(sheets, kidney, "color_surface"), GetParam().expected);
    EXPECT_EQ(resolvedValue(sheets, kidney, "line_width"), Properties::Value(std::string("<unset>")));
}

INSTANTIATE_TEST_SUITE_P(
    Colors, AttributeOverride,
    testing::Values(OverrideCase{true, Vec3(1, 0, 0), Vec3(1, 0, 0)}, OverrideCase{false, Vec3(1, 0, 0), Vec3(0, 1, 0)},
                    OverrideCase{true, std::string("#0000ff"), Vec3(0, 0, 1)},
                    OverrideCase{true, Vec3(2, 0, 0), Vec3(0, 1, 0)},
                    OverrideCase{true, std::string("red"), Vec3(0, 1, 0)}));

struct ColorCase {
    Properties::Value declared;
    std::optional<Properties::Value> read;
};

class ColorForms : public testing::TestWithParam<ColorCase> {};

TEST_P(ColorForms, VectorsInUnitRangeAndHexTextsAreColors)
{
    EXPECT_EQ(readColor(GetParam().declared), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ColorForms,
    testing::Values(ColorCase{Vec3(0, 0.5, 1), Vec3(0, 0.5, 1)}, ColorCase{Vec4(0, 0, 0, 0), Vec4(0, 0, 0, 0)},
                    ColorCase{Vec3(-0.1, 0, 0), std::nullopt}, ColorCase{Vec4(0, 0, 0, 1.5), std::nullopt},
                    ColorCase{std::string("#ff0000"), Vec3(1, 0, 0)},
                    ColorCase{std::string("#00FF0080"), Vec4(0, 1, 0, 128 / 255.0)},
                    ColorCase{std::string("#ff000"), std::nullopt}, ColorCase{std::string("ff000000"), std::nullopt},
                    ColorCase{std::string("#gg0000"), std::nullopt}, ColorCase{1.0, std::nullopt},
                    ColorCase{Vec2(0, 0), std::nullopt}));

TEST(CascadeColors, UnusableColorLeavesLowerRulesInForce)
{
    std::vector<StyleSheet> sheets{StyleSheet("base")};
    declare(sheets[0], "mesh", "color", std::string("#00ff00"));
    declare(sheets[0], "mesh#liver", "color", Vec3(3, 0, 0));
    EXPECT_EQ(resolvedValue(sheets, liverMesh, "color"), Properties::Value(Vec3(0, 1, 0)));
}

TEST(CascadeCopies, LaterChangesOfTheSheetsDoNotReachABuiltCascade)
{
    std::vector<StyleSheet> sheets{StyleSheet("base")};
    declare(sheets[0], "mesh", "line_width", 1.0);
    const StyleCascade cascade(sheets);
    declare(sheets[0], "mesh", "line_width", 2.0);
    sheets.clear();
    EXPECT_EQ(cascade.resolve(spleenMesh).find("line_width")->value, Properties::Value(1.0));
    EXPECT_FALSE(cascade.resolve(liverTip).hasParam("line_width"));
}

}  // namespace
