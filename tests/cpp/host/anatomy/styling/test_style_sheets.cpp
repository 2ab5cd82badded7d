#include "StylingTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace corvaxis;
using namespace corvaxis::styling_test;

namespace {

StyleSheet sampleSheet()
{
    StyleSheet sheet("organs");
    declare(sheet, "mesh#liver", "color", Vec3(1, 0, 0));
    declare(sheet, "mesh#liver", "line_width", 2.0);
    declare(sheet, "keypoint[key^=Corvaxis.Spine]", "point_size", 4);
    sheet.enabled = false;
    return sheet;
}

TEST(AppendOrModify, AppendsOncePerCanonicalSelectorAndModifiesAfterwards)
{
    StyleSheet sheet("s");
    ModifiedCounter rulesChanged(sheet.signalModified);
    EXPECT_TRUE(sheet.appendOrModify(selector("mesh#liver"), [](Properties& p) { p.setParam("alpha", 0.5); }));
    EXPECT_EQ(rulesChanged.count, 1);
    int calls = 0;
    EXPECT_TRUE(sheet.appendOrModify(selector(" mesh#liver "), [&](Properties& p) {
        ++calls;
        EXPECT_EQ(p.find("alpha")->value, Properties::Value(0.5));
        p.setParam("alpha", 0.75);
    }));
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(sheet.rules.size(), 1u);
    EXPECT_EQ(sheet.rules[0].declarations.find("alpha")->value, Properties::Value(0.75));
    EXPECT_EQ(rulesChanged.count, 2);
    // A callback that changes nothing announces nothing.
    EXPECT_TRUE(sheet.appendOrModify(selector("mesh#liver"), [](Properties&) {}));
    EXPECT_EQ(rulesChanged.count, 2);
    EXPECT_TRUE(sheet.appendOrModify(selector("mesh#spleen, mesh#liver"), [](Properties&) {}));
    EXPECT_EQ(sheet.rules.size(), 2u);
}

TEST(AppendOrModify, AbsentSelectorChangesNothingAndWarnsNamingTheText)
{
    LogCapture log("AnatomyPlugin.StyleSheet");
    StyleSheet sheet("s");
    bool called = false;
    EXPECT_FALSE(sheet.appendOrModify(std::nullopt, [&](Properties&) { called = true; }, "mesh[key="));
    EXPECT_FALSE(called);
    EXPECT_TRUE(sheet.rules.empty());
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].level, 3);
    EXPECT_NE(log.records[0].message.find("'mesh[key='"), std::string::npos);
    EXPECT_EQ(log.records[0].file, "");
    EXPECT_EQ(log.records[0].line, -1);
}

TEST(AppendOrModify, ThrowingCallbackLeavesTheSheetAsItWas)
{
    for (const char* text : {"mesh#liver", "mesh#new"}) {
        StyleSheet sheet = sampleSheet();
        const Properties before = configurationOf(sheet);
        ModifiedCounter changed(sheet.signalModified);
        EXPECT_THROW(sheet.appendOrModify(selector(text),
                                          [](Properties& p) {
                                              p.setParam("color", Vec3(0, 0, 1));
                                              p.setParam("extra", 1);
                                              throw std::runtime_error("stop");
                                          }),
                     std::runtime_error)
            << text;
        EXPECT_EQ(configurationOf(sheet), before) << text;
        EXPECT_EQ(changed.count, 0) << text;
    }
}

TEST(AppendOrModify, CallbackMayChangeTheSameSheet)
{
    StyleSheet sheet("s");
    declare(sheet, "mesh", "alpha", 1.0);
    // Appending from inside the callback may move the rule that is being modified.
    sheet.appendOrModify(selector("mesh"), [&](Properties& p) {
        for (int i = 0; i < 20; ++i)
            declare(sheet, "#s" + std::to_string(i), "alpha", 0.5);
        p.setParam("alpha", 0.0);
    });
    ASSERT_EQ(sheet.rules.size(), 21u);
    EXPECT_EQ(sheet.rules[0].declarations.find("alpha")->value, Properties::Value(0.0));
}

// Rules found by canonical text stay found whatever changed the rules in between: each change
// below is followed by a modification of "mesh#liver" (which must not append) and a new rule.
TEST(AppendOrModify, FindsTheRuleAfterEveryKindOfChangeToTheRules)
{
    const std::vector<std::pair<const char*, std::function<void(StyleSheet&)>>> changes = {
        {"nothing", [](StyleSheet&) {}},
        {"reloaded in another order", [](StyleSheet& sheet) {
             const Properties saved = configurationOf(sheet);
             const std::vector<const Properties*> blocks = saved.subPropertiesAll("rules");
             Properties reordered;
             for (auto block = blocks.rbegin(); block != blocks.rend(); ++block)
                 reordered.addSubProperties(**block);
             sheet.rules.configure(reordered);
         }},
        {"the first rule removed", [](StyleSheet& sheet) {
             sheet.rules.removeIf([&](const StyleSheet::StyleRule& rule) { return &rule == &sheet.rules[0]; });
         }},
        {"a selector reconfigured", [](StyleSheet& sheet) {
             Properties renamed;
             renamed.setParam("selector", std::string("mesh#kidney"));
             sheet.rules[0].configure(&renamed);
         }},
        {"a selector assigned in place, unannounced", [](StyleSheet& sheet) {
             sheet.rules[0].selector = selector("mesh#kidney");
         }},
        {"assigned from a copy", [](StyleSheet& sheet) { sheet = StyleSheet(sampleSheet()); }},
    };
    for (const auto& [what, change] : changes) {
        StyleSheet sheet = sampleSheet();
        for (int i = 0; i < 40; ++i)
            declare(sheet, "#s" + std::to_string(i), "alpha", 0.5);
        change(sheet);
        const auto count = [&](const std::string& text) {
            return std::count_if(sheet.rules.begin(), sheet.rules.end(),
                                 [&](const StyleSheet::StyleRule& rule) { return rule.selector.str() == text; });
        };
        declare(sheet, "mesh#liver", "alpha", 0.25);
        declare(sheet, "mesh#kidney", "alpha", 0.75);
        declare(sheet, "#s39", "alpha", 1.0);
        EXPECT_EQ(count("mesh#liver"), 1) << what;
        EXPECT_EQ(count("mesh#kidney"), 1) << what;
        EXPECT_EQ(count("#s39"), 1) << what;
        for (const StyleSheet::StyleRule& rule : sheet.rules) {
            if (rule.selector.str() == "mesh#liver")
                EXPECT_EQ(rule.declarations.find("alpha")->value, Properties::Value(0.25)) << what;
        }
    }
}

TEST(StyleSheetParameters, AssigningTheSameValueEmitsNothing)
{
    StyleSheet sheet("a");
    ChangeCounter nameChanged(sheet.name);
    ChangeCounter enabledChanged(sheet.enabled);
    sheet.name = std::string("a");
    sheet.enabled = true;
    EXPECT_EQ(nameChanged.count + enabledChanged.count, 0);
    sheet.name = std::string("ab");
    sheet.enabled = false;
    EXPECT_EQ(nameChanged.count, 1);
    EXPECT_EQ(enabledChanged.count, 1);
}

TEST(StyleSheetConfiguration, RoundTripsExactly)
{
    const StyleSheet original = sampleSheet();
    const Properties saved = configurationOf(original);
    ASSERT_EQ(saved.subPropertiesAll("rules").size(), 2u);
    EXPECT_EQ(saved.subPropertiesAll("rules")[0]->find("selector")->value, Properties::Value(std::string("mesh#liver")));

    StyleSheet loaded;
    loaded.configure(&saved);
    EXPECT_EQ(configurationOf(loaded), saved);
    EXPECT_EQ(loaded.name.value(), "organs");
    EXPECT_FALSE(loaded.enabled);
    ASSERT_EQ(loaded.rules.size(), 2u);
    EXPECT_EQ(loaded.rules[1].selector.str(), "keypoint[key^=Corvaxis.Spine]");
    EXPECT_EQ(loaded.rules[0].declarations, original.rules[0].declarations);
}

TEST(StyleSheetCopies, CopiesAreDeepAndIndependent)
{
    StyleSheet original = sampleSheet();
    StyleSheet copy(original);
    declare(copy, "mesh#liver", "line_width", 9.0);
    copy.name = std::string("other");
    EXPECT_EQ(original.rules[0].declarations.find("line_width")->value, Properties::Value(2.0));
    EXPECT_EQ(original.name.value(), "organs");
    EXPECT_EQ(copy.rules.owner(), &copy);
    // The copy's rules still report to the copy.
    ModifiedCounter changed(copy.signalModified);
    declare(copy, "mesh#liver", "line_width", 10.0);
    EXPECT_EQ(changed.count, 1);
}

struct Element : Configurable {
    Element() = default;
    Element(const Element& other) : Configurable(other), value(other.value) { value.setParentFromCopy(this); }
    Element& operator=(const Element& other)
    {
        value = other.value;
        return *this;
    }
    Parameter<int> value{"value", 0, this};
    SignalImpl<> signalModified;
};

struct Owner : Configurable {
    SubPropertyList<Element> items{"item", this};
};

void fill(Owner& owner, std::initializer_list<int> values)
{
    for (int v : values) {
        Element element;
        element.value = v;
        owner.items.append(element);
    }
}

class ListLoading : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ListLoading, LoadReplacesTheElementsAndSignalsOnce)
{
    const auto [saved, held] = GetParam();
    Owner source;
    for (int i = 0; i < saved; ++i) {
        Element element;
        element.value = i + 10;
        source.items.append(element);
    }
    Properties tree;
    source.configuration(&tree);
    EXPECT_EQ(tree.subPropertiesAll("item").size(), std::size_t(saved));

    Owner target;
    for (int i = 0; i < held; ++i)
        target.items.append(Element());
    ChangeCounter changed(target.items);
    target.configure(&tree);
    ASSERT_EQ(target.items.size(), std::size_t(saved));
    for (int i = 0; i < saved; ++i)
        EXPECT_EQ(target.items[i].value.value(), i + 10);
    EXPECT_EQ(changed.count, 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListLoading,
                         testing::Values(std::pair{3, 5}, std::pair{0, 2}, std::pair{5, 3}, std::pair{2, 0}));

TEST(ListParameter, SavingReplacesOldBlocksAndCarriesAttributes)
{
    Owner owner;
    fill(owner, {1, 2});
    owner.items.attributes = {{"b", "2"}, {"a", "1"}};
    Properties tree;
    tree.addSubProperties("item");
    tree.addSubProperties("item");
    tree.addSubProperties("item");
    owner.configuration(&tree);
    const auto blocks = tree.subPropertiesAll("item");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0]->attributes(), (Properties::Attributes{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(blocks[1]->find("value")->value, Properties::Value(2));
}

TEST(ListParameter, ElementChangesReachTheListOnceEvenAfterTheArrayMoved)
{
    Owner owner;
    fill(owner, {1});
    for (int i = 0; i < 40; ++i)
        owner.items.append(Element());  // reallocates several times
    ChangeCounter changed(owner.items);
    owner.items[0].signalModified.emitSignal();
    owner.items[39].signalModified.emitSignal();
    EXPECT_EQ(changed.count, 2);
    owner.items.updateSignalConnections();
    owner.items[0].signalModified.emitSignal();
    EXPECT_EQ(changed.count, 3);
}

TEST(ListParameter, CopyAndMoveSignalOnceAndKeepElementsConnected)
{
    Owner source;
    fill(source, {1, 2, 3});
    Owner target;
    fill(target, {7});
    ChangeCounter changed(target.items);
    target.items = source.items;
    EXPECT_EQ(changed.count, 1);
    EXPECT_EQ(target.items.size(), 3u);
    EXPECT_EQ(source.items.size(), 3u);
    target.items[2].signalModified.emitSignal();
    EXPECT_EQ(changed.count, 2);

    target.items = std::move(source.items);
    EXPECT_EQ(changed.count, 3);
    EXPECT_TRUE(source.items.empty());
    ChangeCounter sourceChanged(source.items);
    target.items[1].signalModified.emitSignal();
    EXPECT_EQ(changed.count, 4);
    EXPECT_EQ(sourceChanged.count, 0);
    EXPECT_GT(target.items.revision(), 0u);
}

TEST(ListParameter, DestroyingUnregistersFromTheOwner)
{
    Owner owner;
    {
        SubPropertyList<Element> extra("extra", &owner);
        EXPECT_EQ(owner.parameter("extra"), &extra);
    }
    EXPECT_EQ(owner.parameter("extra"), nullptr);
    EXPECT_EQ(owner.parameter("item"), &owner.items);
}

}  // namespace
