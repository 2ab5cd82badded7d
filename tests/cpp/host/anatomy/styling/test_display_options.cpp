#include "StylingTestSupport.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/anatomy/styling/ASCDisplayOptions.h"

#include <gtest/gtest.h>

using namespace corvaxis;
using namespace corvaxis::styling_test;

namespace {

ASCDisplayOptions sampleOptions()
{
    ASCDisplayOptions options;
    declare(options.getOrAppendStyleSheet("base", std::nullopt), "mesh", "color", Vec3(0, 1, 0));
    declare(options.getOrAppendStyleSheet("focus", "mesh#liver"), "mesh#liver", "line_width", 3.0);
    options.meshRenderMode = GlMesh::RenderMode3d::Wireframe;
    options.keypointSize = 8.0;
    options.labelSize = 20;
    return options;
}

TEST(DisplayOptions, ThirteenParametersAfterTheSheetsInOrder)
{
    const ASCDisplayOptions options;
    std::vector<std::string> names;
    for (const ParameterBase* parameter : options.parameters())
        names.push_back(parameter->name());
    EXPECT_EQ(names, (std::vector<std::string>{"style_sheets", "mesh_render_mode", "mesh_material_mode", "show_meshes",
                                               "keypoint_size", "show_keypoints", "show_planes", "image_display_mode",
                                               "show_images", "show_point_clouds", "point_cloud_material_mode",
                                               "show_graphs", "graph_render_mode", "label_size"}));
}

TEST(DisplayOptions, SheetsAreFetchedAppendedAndRemovedByName)
{
    ASCDisplayOptions options;
    StyleSheet& first = options.getOrAppendStyleSheet("a", std::nullopt);
    first.enabled = false;
    EXPECT_FALSE(options.getOrAppendStyleSheet("a", "mesh").enabled);
    EXPECT_EQ(options.styleSheets.size(), 1u);
    EXPECT_EQ(options.styleSheets[0].rules.size(), 1u);
    // An existing rule is left as it is; a refused text adds none.
    declare(options.styleSheets[0], "mesh", "alpha", 0.5);
    options.getOrAppendStyleSheet("a", "mesh");
    options.getOrAppendStyleSheet("a", "mesh[");
    EXPECT_EQ(options.styleSheets[0].rules.size(), 1u);
    EXPECT_EQ(options.styleSheets[0].rules[0].declarations.find("alpha")->value, Properties::Value(0.5));

    StyleSheet added("a");
    options.addStyleSheet(added, "graph");
    options.addStyleSheet(StyleSheet("b"), std::nullopt);
    added.name = std::string("changed");
    EXPECT_EQ(options.styleSheets.size(), 3u);
    EXPECT_EQ(options.styleSheets[1].name.value(), "a");
    EXPECT_EQ(options.styleSheets[1].rules[0].selector.str(), "graph");
    EXPECT_TRUE(added.rules.empty());
    options.removeStyleSheetsByName("a");
    ASSERT_EQ(options.styleSheets.size(), 1u);
    EXPECT_EQ(options.styleSheets[0].name.value(), "b");
    options.removeStyleSheetsByName("missing");
    EXPECT_EQ(options.styleSheets.size(), 1u);
}

TEST(DisplayOptions, ConfigurationAndCopiesRoundTripExactly)
{
    const ASCDisplayOptions original = sampleOptions();
    const Properties saved = configurationOf(original);
    ASCDisplayOptions loaded;
    loaded.configure(&saved);
    EXPECT_EQ(configurationOf(loaded), saved);
    EXPECT_EQ(configurationOf(ASCDisplayOptions(original)), saved);
    ASSERT_EQ(loaded.styleSheets.size(), 2u);
    EXPECT_EQ(loaded.styleSheets[1].rules[0].declarations.find("line_width")->value, Properties::Value(3.0));
    EXPECT_EQ(loaded.meshRenderMode.value(), GlMesh::RenderMode3d::Wireframe);
}

TEST(EnumerationParameters, SaveValueDefaultTypeCodeAndAttributes)
{
    ASCDisplayOptions options;
    options.graphRenderMode = ASCDisplayOptions::GraphRenderMode::Tubes;
    options.graphRenderMode.attributes = {{"label", "Graph rendering"}};
    const Properties saved = configurationOf(options);
    const Properties::Param* param = saved.find("graph_render_mode");
    ASSERT_NE(param, nullptr);
    EXPECT_EQ(param->value, Properties::Value(1));
    EXPECT_EQ(param->defaultValue, Properties::Value(0));
    EXPECT_EQ(param->type, unsigned(ASCDisplayOptions::GraphRenderModeType));
    EXPECT_EQ(param->attributes, (Properties::Attributes{{"label", "Graph rendering"}}));
    EXPECT_EQ(saved.find("mesh_render_mode")->attributes, Properties::Attributes{});
}

struct DeprecatedCase {
    std::vector<std::pair<std::string, int>> stored;
    int expected;
    std::size_t messages;
};

class DeprecatedNames : public testing::TestWithParam<DeprecatedCase> {};

TEST_P(DeprecatedNames, OldNameLoadsAndIsReportedOnce)
{
    LogCapture log("Core.Parameter");
    Properties stored;
    for (const auto& [name, value] : GetParam().stored)
        stored.setParam(name, value);
    ASCDisplayOptions options;
    options.configure(&stored);
    EXPECT_EQ(options.meshRenderMode.rawValue(), GetParam().expected);
    ASSERT_EQ(log.records.size(), GetParam().messages);
    if (GetParam().messages > 0) {
        EXPECT_EQ(log.records[0].level, 3);
        EXPECT_EQ(log.records[0].message,
                  "Using deprecated parameter name 'render_mode'. Please use: 'mesh_render_mode' instead.");
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, DeprecatedNames,
                         testing::Values(DeprecatedCase{{{"render_mode", 2}}, 2, 1},
                                         DeprecatedCase{{{"render_mode", 2}, {"mesh_render_mode", 1}}, 1, 0},
                                         DeprecatedCase{{{"render_mode", 42}}, 42, 1},  // not range-checked
                                         DeprecatedCase{{}, 0, 0}));

TEST(DisplayOptionsInAList, SecondAddUpdatesTheFirstInPlace)
{
    GenericASC collection;
    DataComponentList& list = collection.components();
    DataComponentBase* first = list.add(sampleOptions().clone());
    ASCDisplayOptions other;
    other.labelSize = 30;
    DataComponentBase* second = list.add(other.clone());
    EXPECT_EQ(first, second);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(findDisplayOptions(list), first);
    EXPECT_EQ(findDisplayOptions(list)->labelSize.value(), 30);
    EXPECT_TRUE(findDisplayOptions(list)->styleSheets.empty());
}

struct DerivedOptions : ASCDisplayOptions {
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<DerivedOptions>(*this); }
};

TEST(DisplayOptionsInAList, OnlyTheExactTypeIsFound)
{
    GenericASC collection;
    collection.components().add(std::make_unique<DerivedOptions>());
    EXPECT_EQ(findDisplayOptions(collection.components()), nullptr);
    EXPECT_TRUE(resolveStyle(collection, "liver", ContentType::Mesh, "surface").empty());
}

TEST(ResolveStyle, UsesTheEntryAttributesAndFollowsSheetChanges)
{
    GenericASC collection;
    std::unique_ptr<AnatomicalStructure> liver = std::make_unique<GenericAnatomicalStructure>("liver");
    liver->keypoints["tip"] = Vec3(1, 2, 3);
    liver->keypoints["tip"].editAttributes().setParam("class", std::string("landmark"));
    collection.addAnatomicalStructure(liver);
    auto* options = static_cast<ASCDisplayOptions*>(collection.components().add(std::make_unique<ASCDisplayOptions>()));

    StyleSheet& sheet = options->getOrAppendStyleSheet("s", std::nullopt);
    declare(sheet, "keypoint.landmark", "point_size", 9);
    const auto pointSize = [&] {
        const Properties resolved = resolveStyle(collection, "liver", ContentType::Keypoint, "tip");
        const Properties::Param* param = resolved.find("point_size");
        return param ? std::get<int>(param->value) : -1;
    };
    EXPECT_EQ(pointSize(), 9);
    declare(options->styleSheets[0], "keypoint.landmark", "point_size", 4);
    EXPECT_EQ(pointSize(), 4);
    options->styleSheets[0].enabled = false;
    EXPECT_EQ(pointSize(), -1);
    options->styleSheets[0].enabled = true;
    options->addStyleSheet(StyleSheet("later"), std::nullopt);
    declare(options->styleSheets[1], "keypoint", "point_size", 1);
    EXPECT_EQ(pointSize(), 4);  // the class condition is more specific
    EXPECT_TRUE(resolveStyle(collection, "liver", ContentType::Keypoint, "other").hasParam("point_size"));
    EXPECT_EQ(std::get<int>(resolveStyle(collection, "liver", ContentType::Keypoint, "other").find("point_size")->value), 1);
}

}  // namespace
