#include "corvaxis/core/Log.h"
#include "corvaxis/core/Parameter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using corvaxis::Configurable;
using corvaxis::Parameter;
using corvaxis::ParameterBase;
using corvaxis::Properties;
using corvaxis::SignalReceiver;
using corvaxis::Vec3;

namespace {
struct Settings : Configurable {
    Parameter<int> count{"count", 3, this};
    Parameter<bool> enabled{"enabled", true, this};
    Parameter<std::string> label{"label", "none", this};
    Parameter<Vec3> offset{"offset", Vec3::Zero(), this};

    Settings() = default;
    Settings(const Settings& other)
        : Configurable(other), count(other.count), enabled(other.enabled), label(other.label), offset(other.offset)
    {
        for (ParameterBase* p : std::vector<ParameterBase*>{&count, &enabled, &label, &offset})
            p->setParentFromCopy(this);
    }
    Settings& operator=(const Settings&) = default;
};

// Counts the change signals of one parameter.
struct ChangeCounter : SignalReceiver {
    explicit ChangeCounter(ParameterBase& parameter)
    {
        parameter.signalChanged.connect(this, [this](const ParameterBase* changed) { seen.push_back(changed); });
    }
    std::vector<const ParameterBase*> seen;
};
}  // namespace

TEST(ParameterRegistration, ParametersRegisterWithTheirOwnerInOrder)
{
    Settings s;
    EXPECT_EQ(s.parameters(), (std::vector<ParameterBase*>{&s.count, &s.enabled, &s.label, &s.offset}));
    EXPECT_EQ(s.count.owner(), &s);
    EXPECT_EQ(s.parameter("label"), &s.label);
    EXPECT_EQ(s.parameter("missing"), nullptr);

    s.unregisterParameter(&s.enabled);
    EXPECT_EQ(s.enabled.owner(), nullptr);
    EXPECT_EQ(s.parameter("enabled"), nullptr);
    Properties saved;
    s.configuration(&saved);
    EXPECT_FALSE(saved.hasParam("enabled"));

    Parameter<int> loose("loose", 1, nullptr);
    EXPECT_EQ(loose.owner(), nullptr);
}

TEST(ParameterRegistration, SetParentFromCopyMovesTheRegistration)
{
    Configurable first, second;
    Parameter<int> p("p", 1, &first);
    p.setParentFromCopy(&second);
    EXPECT_TRUE(first.parameters().empty());
    EXPECT_EQ(second.parameters(), (std::vector<ParameterBase*>{&p}));
    EXPECT_EQ(p.owner(), &second);
    p.setParentFromCopy(&second);
    EXPECT_EQ(second.parameters().size(), 1u);
}

TEST(ParameterChange, SignalFiresOnlyWhenTheValueChanges)
{
    Settings s;
    ChangeCounter counter(s.count);
    s.count = 3;
    s.count.setValue(3);
    EXPECT_TRUE(counter.seen.empty());
    s.count = 8;
    EXPECT_EQ(counter.seen, (std::vector<const ParameterBase*>{&s.count}));
    EXPECT_EQ(s.count.value(), 8);
    EXPECT_EQ(s.count.defaultValue(), 3);

    // Reading the unchanged value back from a configuration is no change either.
    Properties same;
    same.setParam("count", 8);
    s.configure(&same);
    EXPECT_EQ(counter.seen.size(), 1u);
}

TEST(ParameterConfiguration, RoundTripThroughProperties)
{
    Settings source;
    source.count = 7;
    source.enabled = false;
    source.label = "lumbar";
    source.offset = Vec3(1, 2, 3);
    source.count.attributes = {{"min", "0"}};

    Properties saved;
    source.configuration(&saved);
    EXPECT_EQ(saved.paramNames(), (std::vector<std::string>{"count", "enabled", "label", "offset"}));
    const Properties::Param* count = saved.find("count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(std::get<int>(count->value), 7);
    ASSERT_TRUE(count->defaultValue.has_value());
    EXPECT_EQ(std::get<int>(*count->defaultValue), 3);
    EXPECT_EQ(count->attributes, (Properties::Attributes{{"min", "0"}}));

    Settings target;
    target.configure(&saved);
    EXPECT_EQ(target.count.value(), 7);
    EXPECT_FALSE(target.enabled.value());
    EXPECT_EQ(target.label.value(), "lumbar");
    EXPECT_EQ(target.offset.value(), Vec3(1, 2, 3));
}

TEST(ParameterConfiguration, AbsentOrUnreadableValuesLeaveParametersAlone)
{
    Settings s;
    s.count = 5;
    s.configure(nullptr);
    Properties partial;
    partial.setParam("label", 12);
    partial.setParam("enabled", 0.0);
    s.configure(&partial);
    EXPECT_EQ(s.count.value(), 5);
    EXPECT_EQ(s.label.value(), "none");
    // Numbers convert: a double 0.0 reads as false.
    EXPECT_FALSE(s.enabled.value());
}

TEST(ParameterConfiguration, DeprecatedNamesAreTriedInOrderAndReported)
{
    std::vector<corvaxis::Log::Record> records;
    const std::size_t sink =
        corvaxis::Log::addSink([&](const corvaxis::Log::Record& record) { records.push_back(record); });

    Settings s;
    s.count.deprecatedNames = {"number", "n"};
    Properties old;
    old.setParam("n", 1);
    old.setParam("number", 2);
    s.configure(&old);
    EXPECT_EQ(s.count.value(), 2);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, corvaxis::Log::Warning);
    EXPECT_EQ(records[0].category, "Core.Parameter");
    EXPECT_EQ(records[0].message, "Using deprecated parameter name 'number'. Please use: 'count' instead.");

    old.setParam("count", 9);
    s.configure(&old);
    EXPECT_EQ(s.count.value(), 9);
    EXPECT_EQ(records.size(), 1u);
    corvaxis::Log::removeSink(sink);
}

TEST(ParameterConfiguration, ConfigureDefaultsResetsEveryParameter)
{
    Settings s;
    ChangeCounter countChanges(s.count);
    ChangeCounter labelChanges(s.label);
    s.count = 11;
    s.enabled = false;
    s.configureDefaults();
    EXPECT_EQ(s.count.value(), 3);
    EXPECT_TRUE(s.enabled.value());
    EXPECT_EQ(countChanges.seen.size(), 2u);
    EXPECT_TRUE(labelChanges.seen.empty());
}

TEST(ParameterCopies, CopiesBelongToTheNewOwnerAndAreIndependent)
{
    Settings original;
    original.count = 6;
    original.label.deprecatedNames = {"name"};
    ChangeCounter counter(original.count);

    Settings copy(original);
    EXPECT_EQ(copy.parameters(), (std::vector<ParameterBase*>{&copy.count, &copy.enabled, &copy.label, &copy.offset}));
    EXPECT_EQ(copy.count.owner(), &copy);
    EXPECT_EQ(original.count.owner(), &original);
    EXPECT_EQ(original.parameters().size(), 4u);
    EXPECT_EQ(copy.count.value(), 6);
    EXPECT_EQ(copy.count.defaultValue(), 3);
    EXPECT_EQ(copy.label.deprecatedNames, std::vector<std::string>{"name"});

    // The copy's signal is its own.
    copy.count = 1;
    EXPECT_EQ(original.count.value(), 6);
    EXPECT_TRUE(counter.seen.empty());

    Settings assigned;
    ChangeCounter assignedCounter(assigned.count);
    assigned = original;
    EXPECT_EQ(assigned.count.value(), 6);
    EXPECT_EQ(assigned.count.owner(), &assigned);
    EXPECT_EQ(assignedCounter.seen.size(), 1u);
    EXPECT_EQ(assigned.parameters().size(), 4u);
}

TEST(ParameterLifetime, EitherSideMayBeDestroyedFirst)
{
    auto owner = std::make_unique<Configurable>();
    auto parameter = std::make_unique<Parameter<int>>("p", 1, owner.get());
    parameter.reset();
    EXPECT_TRUE(owner->parameters().empty());

    parameter = std::make_unique<Parameter<int>>("p", 1, owner.get());
    owner.reset();
    EXPECT_EQ(parameter->owner(), nullptr);
    parameter->setParentFromCopy(nullptr);
    parameter.reset();

    // Destroying a copy leaves the registrations of the original alone.
    auto original = std::make_unique<Settings>();
    { Settings copy(*original); }
    EXPECT_EQ(original->parameters().size(), 4u);
    original.reset();
}

namespace {
enum class Shade : int { Flat = 1, Smooth = 2 };
struct Shading : Configurable {
    Parameter<Shade> shade{"shade", Shade::Smooth, this, 41};
};
}  // namespace

TEST(EnumerationParameter, StoredAsIntegerWithDefaultTypeCodeAndAttributes)
{
    Shading s;
    s.shade.attributes = {{"b", "2"}, {"a", "1"}};
    ChangeCounter changes(s.shade);
    s.shade = Shade::Flat;
    s.shade = Shade::Flat;
    EXPECT_EQ(changes.seen.size(), 1u);

    Properties saved;
    s.configuration(&saved);
    const Properties::Param* entry = saved.find("shade");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->value, Properties::Value(1));
    EXPECT_EQ(entry->defaultValue, std::optional<Properties::Value>(2));
    EXPECT_EQ(entry->type, 41u);
    EXPECT_EQ(entry->attributes, (Properties::Attributes{{"a", "1"}, {"b", "2"}}));

    // Values outside the enumeration still load: stored files may come from a newer release.
    Properties newer;
    newer.setParam("shade", 7);
    s.configure(&newer);
    EXPECT_EQ(s.shade.rawValue(), 7);
}

TEST(EnumerationParameter, DeprecatedNameLoadsAndIsReportedOnce)
{
    std::vector<corvaxis::Log::Record> records;
    const std::size_t sink =
        corvaxis::Log::addSink([&](const corvaxis::Log::Record& record) { records.push_back(record); });
    Shading s;
    s.shade.deprecatedNames = {"shading"};
    Properties old;
    old.setParam("shading", 1);
    s.configure(&old);
    EXPECT_EQ(s.shade.value(), Shade::Flat);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Using deprecated parameter name 'shading'. Please use: 'shade' instead.");

    old.setParam("shade", 2);
    s.configure(&old);
    EXPECT_EQ(s.shade.value(), Shade::Smooth);
    EXPECT_EQ(records.size(), 1u);
    corvaxis::Log::removeSink(sink);
}
