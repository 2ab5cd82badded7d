#include "StylingTestSupport.h"

#include <gtest/gtest.h>

using namespace corvaxis;
using namespace corvaxis::styling_test;
using AnatomyPlugin::SelectorElem;

namespace {

struct Canonical {
    const char* text;
    const char* canonical;
};

class SelectorCanonicalText : public testing::TestWithParam<Canonical> {};

TEST_P(SelectorCanonicalText, ParsesToItsCanonicalTextWhichParsesToItself)
{
    const std::optional<Selector> parsed = Selector::parse(GetParam().text);
    ASSERT_TRUE(parsed) << GetParam().text;
    EXPECT_EQ(parsed->str(), GetParam().canonical);
    const std::optional<Selector> again = Selector::parse(parsed->str());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->str(), parsed->str());
    EXPECT_EQ(again->elements, parsed->elements);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SelectorCanonicalText,
    testing::Values(Canonical{"*", "*"}, Canonical{"mesh", "mesh"}, Canonical{"#liver", "#liver"},
                    Canonical{"*#liver", "#liver"}, Canonical{"mesh#liver", "mesh#liver"},
                    Canonical{"keypoint#liver[key=tip]", "keypoint#liver[key=tip]"},
                    Canonical{"mesh#vertebra_*", "mesh#vertebra_*"},
                    Canonical{"keypoint[key^=Corvaxis.Spine]", "keypoint[key^=Corvaxis.Spine]"},
                    Canonical{"mesh#liver, mesh#spleen", "mesh#liver, mesh#spleen"},
                    Canonical{"  mesh#liver ,mesh#spleen  ", "mesh#liver, mesh#spleen"},
                    Canonical{"mesh[ key = \"a b\" ]", "mesh[key=\"a b\"]"},
                    Canonical{"mesh[key=\"tip\"]", "mesh[key=tip]"},
                    Canonical{"[side=left][organ^=kid].b.a", "[organ^=kid][side=left].a.b"},
                    Canonical{"structure.highlighted", "structure.highlighted"},
                    Canonical{"graph[key=\"\"]", "graph[key=\"\"]"},
                    Canonical{"mesh#liver.b.a", "mesh#liver.b.a"},
                    Canonical{".b#liver.a.c", ".b#liver.a.c"},
                    Canonical{"mesh.organ#liver", "mesh.organ#liver"},
                    Canonical{".organ[side=left]#liv*", "#liv*[side=left].organ"},
                    Canonical{"pointcloud,plane,image", "pointcloud, plane, image"}));

class RefusedSelector : public testing::TestWithParam<const char*> {};

TEST_P(RefusedSelector, IsRefusedWholeAsSelectorAndElement)
{
    EXPECT_FALSE(Selector::parse(GetParam())) << GetParam();
    EXPECT_FALSE(SelectorElem::parse(GetParam())) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Texts, RefusedSelector,
                         testing::Values("", " ", "#", "mesh#", "mesh[", "mesh[key=tip", "mesh##liver", "meshes",
                                         ",", "mesh,", ",mesh", "mesh#liver#spleen", "mesh[key=a][key=b]",
                                         "mesh[key~=a]", "mesh[=a]", "mesh[key=]", "mesh[key=\"a]", "mesh.",
                                         "mesh .a", "mesh #liver", "Mesh", "mesh[side=a][side=b]", "**"));

TEST(SelectorElem, ParsesOnlyOneElement)
{
    EXPECT_FALSE(SelectorElem::parse("mesh, graph"));
    ASSERT_TRUE(SelectorElem::parse(" mesh#liver "));
    EXPECT_EQ(SelectorElem::parse(" mesh#liver ")->str(), "mesh#liver");
}

TEST(SelectorOperators, OrAppendsWithoutChangingOperands)
{
    const SelectorElem mesh = *SelectorElem::parse("mesh");
    const SelectorElem graph = *SelectorElem::parse("graph");
    const Selector both = mesh || graph;
    EXPECT_EQ(both.str(), "mesh, graph");
    const Selector three = both || *SelectorElem::parse("#liver");
    EXPECT_EQ(three.str(), "mesh, graph, #liver");
    EXPECT_EQ(both.str(), "mesh, graph");
    EXPECT_EQ(Selector().str(), "");
    EXPECT_EQ(selector("mesh").source(), "mesh");
}

struct MatchCase {
    const char* selector;
    StyledObject object;
    bool matches;
};

Properties attributes(std::initializer_list<std::pair<const char*, Properties::Value>> values)
{
    Properties block;
    for (const auto& [name, value] : values)
        block.setParam(name, value);
    return block;
}

const Properties leftKidney = attributes({{"side", std::string("left")}, {"class", std::string("organ paired")},
                                          {"index", 3}, {"visible", true}});

class SelectorMatching : public testing::TestWithParam<MatchCase> {};

TEST_P(SelectorMatching, MatchesWhenEveryConditionHolds)
{
    EXPECT_EQ(selector(GetParam().selector).matches(GetParam().object), GetParam().matches)
        << GetParam().selector << " against " << GetParam().object.identifier << "/" << GetParam().object.key;
}

const StyledObject liverMesh{"liver", ContentType::Mesh, "surface", nullptr};
const StyledObject liverTip{"liver", ContentType::Keypoint, "tip", nullptr};
const StyledObject liver{"liver", ContentType::AnatomicalStructure, "", nullptr};
const StyledObject vertebraMesh{"vertebra_L1", ContentType::Mesh, "surface", nullptr};
const StyledObject spineKeypoint{"vertebra_L1", ContentType::Keypoint, "Corvaxis.Spine.Tip", nullptr};
const StyledObject kidneyMesh{"kidney", ContentType::Mesh, "surface", &leftKidney};

INSTANTIATE_TEST_SUITE_P(
    Objects, SelectorMatching,
    testing::Values(MatchCase{"*", liverMesh, true}, MatchCase{"*", liver, true}, MatchCase{"mesh", liverMesh, true},
                    MatchCase{"mesh", liverTip, false}, MatchCase{"#liver", liverTip, true},
                    MatchCase{"#liver", liver, true}, MatchCase{"#liver", vertebraMesh, false},
                    MatchCase{"structure", liver, true}, MatchCase{"structure", liverMesh, false},
                    MatchCase{"mesh#liver", liverMesh, true}, MatchCase{"mesh#liver", liverTip, false},
                    MatchCase{"keypoint#liver[key=tip]", liverTip, true},
                    MatchCase{"keypoint#liver[key=ti]", liverTip, false},
                    MatchCase{"keypoint#liver[key^=ti]", liverTip, true},
                    MatchCase{"#liver[key=tip]", liver, false},
                    MatchCase{"mesh#vertebra_*", vertebraMesh, true}, MatchCase{"mesh#vertebra_*", liverMesh, false},
                    MatchCase{"mesh#*bra*L1", vertebraMesh, true}, MatchCase{"mesh#vertebra_", vertebraMesh, false},
                    MatchCase{"keypoint[key^=Corvaxis.Spine]", spineKeypoint, true},
                    MatchCase{"keypoint[key^=Corvaxis.Spine]", liverTip, false},
                    MatchCase{"mesh#liver, mesh#spleen", liverMesh, true},
                    MatchCase{"mesh#spleen, keypoint", liverMesh, false},
                    MatchCase{"[side=left]", kidneyMesh, true}, MatchCase{"[side=right]", kidneyMesh, false},
                    MatchCase{"[side^=le]", kidneyMesh, true}, MatchCase{"[side=left]", liverMesh, false},
                    MatchCase{"[index=3][visible=true]", kidneyMesh, true},
                    MatchCase{"[missing=x]", kidneyMesh, false}, MatchCase{".organ", kidneyMesh, true},
                    MatchCase{".paired.organ", kidneyMesh, true}, MatchCase{".org", kidneyMesh, false},
                    MatchCase{".organ", liverMesh, false}));

TEST(SelectorSpecificity, IdentifierOverKeyAttributeAndClassOverKindOverAny)
{
    const auto specificity = [](const char* text) { return SelectorElem::parse(text)->specificity(); };
    EXPECT_LT(specificity("*"), specificity("mesh"));
    EXPECT_LT(specificity("mesh"), specificity("[key=tip]"));
    EXPECT_LT(specificity("mesh"), specificity(".organ"));
    EXPECT_LT(specificity("mesh[key=a][side=b]"), specificity("#liver"));
    EXPECT_LT(specificity("#liver"), specificity("mesh#liver"));
    EXPECT_EQ(specificity("[side=a]"), specificity(".organ"));
    // A selector counts with its most specific matching element.
    EXPECT_EQ(selector("mesh, #liver").matchSpecificity(liverMesh), specificity("#liver"));
    EXPECT_EQ(selector("mesh, #spleen").matchSpecificity(liverMesh), specificity("mesh"));
    EXPECT_FALSE(selector("graph").matchSpecificity(liverMesh));
}

}  // namespace
