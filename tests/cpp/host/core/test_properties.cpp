#include "corvaxis/core/Properties.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

using corvaxis::Mat4;
using corvaxis::Properties;
using corvaxis::Vec2;
using corvaxis::Vec3;
using corvaxis::Vec4;

namespace {
Properties sample()
{
    Properties p("root");
    p.setParam("count", 3);
    p.setParam("label", "spine");
    p.setParamAttributes("count", {{"min", "0"}});
    p.setAttributes({{"version", "2"}});
    p.addSubProperties("Label")->setParam("value", 1);
    p.addSubProperties("Label")->setParam("value", 2);
    return p;
}
}  // namespace

TEST(PropertiesValues, EachTypeReadsBackWithItsTypeCode)
{
    Properties p;
    Mat4 matrix = Mat4::Identity();
    matrix(0, 3) = 5.0;
    p.setParam("b", true);
    p.setParam("i", -4);
    p.setParam("d", 2.5);
    p.setParam("s", "text");
    p.setParam("v2", Vec2(1, 2));
    p.setParam("v3", Vec3(1, 2, 3));
    p.setParam("v4", Vec4(1, 2, 3, 4));
    p.setParam("m", matrix);

    bool b = false;
    int i = 0;
    double d = 0;
    std::string s;
    Vec2 v2;
    Vec3 v3;
    Vec4 v4;
    Mat4 m;
    EXPECT_TRUE(p.param("b", b) && b);
    EXPECT_TRUE(p.param("i", i));
    EXPECT_EQ(i, -4);
    EXPECT_TRUE(p.param("d", d));
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(p.param("s", s));
    EXPECT_EQ(s, "text");
    EXPECT_TRUE(p.param("v2", v2) && p.param("v3", v3) && p.param("v4", v4) && p.param("m", m));
    EXPECT_EQ(v2, Vec2(1, 2));
    EXPECT_EQ(v3, Vec3(1, 2, 3));
    EXPECT_EQ(v4, Vec4(1, 2, 3, 4));
    EXPECT_EQ(m, matrix);

    using Type = Properties::Type;
    const std::pair<const char*, Type> expected[] = {
        {"b", Type::Bool}, {"i", Type::Int},  {"d", Type::Double}, {"s", Type::String},
        {"v2", Type::Vec2}, {"v3", Type::Vec3}, {"v4", Type::Vec4},   {"m", Type::Mat4},
    };
    for (const auto& [name, type] : expected)
        EXPECT_EQ(corvaxis::typeCodeOf(p.find(name)->value), static_cast<unsigned>(type)) << name;
    EXPECT_EQ(p.paramNames(), (std::vector<std::string>{"b", "i", "d", "s", "v2", "v3", "v4", "m"}));
    EXPECT_STREQ(corvaxis::typeName(static_cast<unsigned>(Type::Vec3)), "vec3");

    // The literal 0 is the int 0, and text of any form is a string, never a bool.
    const char* pointer = "pointer";
    char buffer[] = "buffer";
    p.setParam("zero", 0);
    p.setParam("pointer", pointer);
    p.setParam("buffer", buffer);
    p.setParam("withDefault", "a", "b");
    EXPECT_EQ(std::get<int>(p.find("zero")->value), 0);
    EXPECT_EQ(std::get<std::string>(p.find("pointer")->value), "pointer");
    EXPECT_EQ(std::get<std::string>(p.find("buffer")->value), "buffer");
    EXPECT_EQ(std::get<std::string>(*p.find("withDefault")->defaultValue), "b");
}

TEST(PropertiesValues, NumbersConvertOnlyWithoutLoss)
{
    Properties p;
    p.setParam("int", 2);
    p.setParam("zero", 0);
    p.setParam("true", true);
    p.setParam("whole", 4.0);
    p.setParam("fraction", 2.5);
    p.setParam("huge", 1e12);
    p.setParam("nan", std::numeric_limits<double>::quiet_NaN());
    p.setParam("text", "1");
    p.setParam("vec", Vec3(1, 2, 3));

    bool b = false;
    EXPECT_TRUE(p.param("int", b) && b);
    EXPECT_TRUE(p.param("zero", b) && !b);
    EXPECT_TRUE(p.param("fraction", b) && b);
    int i = -1;
    EXPECT_TRUE(p.param("true", i));
    EXPECT_EQ(i, 1);
    EXPECT_TRUE(p.param("whole", i));
    EXPECT_EQ(i, 4);
    double d = 0;
    EXPECT_TRUE(p.param("int", d));
    EXPECT_EQ(d, 2.0);
    EXPECT_TRUE(p.param("true", d));
    EXPECT_EQ(d, 1.0);

    i = 99;
    EXPECT_FALSE(p.param("fraction", i));
    EXPECT_FALSE(p.param("huge", i));
    EXPECT_FALSE(p.param("nan", i));
    EXPECT_FALSE(p.param("text", i));
    EXPECT_EQ(i, 99);
    std::string s;
    EXPECT_FALSE(p.param("int", s));
    Vec4 v4;
    EXPECT_FALSE(p.param("vec", v4));
}

TEST(PropertiesValues, MissingNameReadsNothing)
{
    Properties p;
    p.setParam("present", 1);
    bool b = true;
    int i = 7;
    EXPECT_FALSE(p.param("absent", b));
    EXPECT_FALSE(p.param("absent", i));
    EXPECT_TRUE(b);
    EXPECT_EQ(i, 7);
    EXPECT_FALSE(p.hasParam("absent"));
    EXPECT_EQ(p.paramAttributes("absent"), nullptr);
}

TEST(PropertiesValues, ReplacingAValueKeepsItsPlaceTypeDefaultAndAttributes)
{
    Properties p;
    p.setParam("first", 1, 0);
    p.setParam("second", 2);
    p.setParamType("first", 42);
    p.setParamAttributes("first", {{"unit", "mm"}});
    p.setParam("first", 5);

    const Properties::Param* first = p.find("first");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::get<int>(first->value), 5);
    ASSERT_TRUE(first->defaultValue.has_value());
    EXPECT_EQ(std::get<int>(*first->defaultValue), 0);
    EXPECT_EQ(first->type, 42u);
    EXPECT_EQ(*p.paramAttributes("first"), (Properties::Attributes{{"unit", "mm"}}));
    EXPECT_EQ(p.paramNames(), (std::vector<std::string>{"first", "second"}));

    // Type and attributes need an existing value.
    p.setParamType("ghost", 1);
    p.setParamAttributes("ghost", {{"a", "b"}});
    EXPECT_FALSE(p.hasParam("ghost"));
    EXPECT_TRUE(p.removeParam("second"));
    EXPECT_FALSE(p.removeParam("second"));
}

TEST(PropertiesBlocks, SubBlocksOfOneNameStayInOrder)
{
    Properties p("root");
    Properties* a = p.addSubProperties("Label");
    p.addSubProperties("Other");
    Properties* b = p.addSubProperties("Label");
    Properties copied("Label");
    copied.setParam("value", 3);
    Properties* c = p.addSubProperties(copied);

    EXPECT_EQ(p.subPropertiesAll("Label"), (std::vector<Properties*>{a, b, c}));
    EXPECT_TRUE(p.subPropertiesAll("Missing").empty());
    EXPECT_EQ(p.subProperties().size(), 4u);
    EXPECT_NE(c, &copied);
    EXPECT_EQ(*c, copied);
    const Properties& constP = p;
    EXPECT_EQ(constP.subPropertiesAll("Label").size(), 3u);
}

TEST(PropertiesBlocks, DeleteSubPropertyRemovesOnlyADirectChild)
{
    Properties p("root");
    Properties* a = p.addSubProperties("Label");
    Properties* b = p.addSubProperties("Label");
    Properties* grandchild = b->addSubProperties("Inner");
    Properties stranger("Label");

    EXPECT_FALSE(p.deleteSubProperty(grandchild));
    EXPECT_FALSE(p.deleteSubProperty(&stranger));
    EXPECT_FALSE(p.deleteSubProperty(nullptr));
    EXPECT_TRUE(p.deleteSubProperty(a));
    EXPECT_EQ(p.subPropertiesAll("Label"), (std::vector<Properties*>{b}));
    EXPECT_EQ(b->subPropertiesAll("Inner").size(), 1u);
}

TEST(PropertiesBlocks, BlockAttributesAreSeparateFromValueAttributes)
{
    Properties p;
    p.setParam("x", 1);
    p.setAttributes({{"kind", "style"}});
    p.setParamAttributes("x", {{"kind", "value"}});
    EXPECT_EQ(p.attributes().at("kind"), "style");
    EXPECT_EQ(p.paramAttributes("x")->at("kind"), "value");
    EXPECT_FALSE(p.empty());
    EXPECT_TRUE(Properties("named").empty());
}

TEST(PropertiesCopies, CopyAndAssignmentAreDeepAndIndependent)
{
    const Properties original = sample();

    Properties copy(original);
    EXPECT_EQ(copy, original);
    copy.setParam("count", 4);
    copy.subPropertiesAll("Label")[0]->setParam("value", 10);
    copy.setParamAttributes("count", {{"min", "1"}});
    copy.addSubProperties("Extra");
    EXPECT_EQ(original, sample());
    EXPECT_NE(copy, original);

    Properties assigned("other");
    assigned.setParam("stale", true);
    assigned = original;
    EXPECT_EQ(assigned, original);
    EXPECT_FALSE(assigned.hasParam("stale"));
    assigned.subPropertiesAll("Label")[1]->setParam("value", 20);
    EXPECT_EQ(original, sample());

    Properties& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.subPropertiesAll("Label").size(), 2u);
}

TEST(PropertiesCopies, MoveKeepsTheBlocks)
{
    Properties source = sample();
    const Properties* label = source.subPropertiesAll("Label")[0];
    Properties moved(std::move(source));
    EXPECT_EQ(moved, sample());
    // Sub-blocks are not reallocated by a move: pointers handed out stay valid.
    EXPECT_EQ(moved.subPropertiesAll("Label")[0], label);

    Properties target;
    target = std::move(moved);
    EXPECT_EQ(target, sample());
}

TEST(PropertiesCopies, EqualityLooksAtEverything)
{
    const Properties base = sample();
    Properties p = sample();
    p.setName("other");
    EXPECT_NE(p, base);
    p = sample();
    p.setAttributes({});
    EXPECT_NE(p, base);
    p = sample();
    p.setParamType("count", 2);
    EXPECT_NE(p, base);

    // Sub-block order matters.
    Properties x, y;
    x.addSubProperties("A");
    x.addSubProperties("B");
    y.addSubProperties("B");
    y.addSubProperties("A");
    EXPECT_NE(x, y);
    // A value of another type is another value.
    x = Properties();
    y = Properties();
    x.setParam("v", 1);
    y.setParam("v", 1.0);
    EXPECT_NE(x, y);
}

TEST(PropertiesCopies, TreesDeeperThanTheStackCopyCompareAndDestroy)
{
    // Deep enough that one stack frame per level would overflow the stack.
    constexpr int depth = 200'000;
    Properties root;
    Properties* block = &root;
    for (int level = 0; level < depth; ++level)
        block = block->addSubProperties("level");
    block->setParam("leaf", 1);

    Properties copy = root;
    EXPECT_EQ(copy, root);
    block->setParam("leaf", 2);
    EXPECT_NE(copy, root);
}
