#include "corvaxis/core/DataComponent.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/Mesh.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using corvaxis::Data;
using corvaxis::DataComponentBase;
using corvaxis::DataComponentList;
using corvaxis::Mesh;
using corvaxis::Parameter;

namespace {
int g_destroyed = 0;

struct Opacity : DataComponentBase {
    Parameter<double> value{"value", 1.0, this};

    explicit Opacity(double v = 1.0) { value = v; }
    Opacity(const Opacity& other) : DataComponentBase(other), value(other.value) { value.setParentFromCopy(this); }
    ~Opacity() override { ++g_destroyed; }
    std::string id() const override { return "Opacity"; }
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<Opacity>(*this); }
};

// Same identifier, different type: the list tells them apart by type.
struct StrongOpacity : Opacity {
    using Opacity::Opacity;
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<StrongOpacity>(*this); }
};

struct Owned : DataComponentBase, corvaxis::DataComponentWithParentInterface {
    Data* parent = nullptr;
    std::string id() const override { return "Owned"; }
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<Owned>(*this); }
    void setParent(Data* p) override { parent = p; }
};

// Stands for components defined in Python: one native type, told apart by identifier.
struct PyDataComponent : DataComponentBase {
    Parameter<int> payload{"payload", 0, this};
    std::string name;
    PyDataComponent(std::string n, int p) : name(std::move(n)) { payload = p; }
    std::string id() const override { return name; }
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<PyDataComponent>(name, payload); }
};

struct ListFixture : ::testing::Test, corvaxis::SignalReceiver {
    void SetUp() override
    {
        g_destroyed = 0;
        mesh.components().signalChanged.connect(this, [this] { ++changes; });
    }
    DataComponentList& list() { return mesh.components(); }

    Mesh mesh;
    int changes = 0;
};
}  // namespace

TEST_F(ListFixture, SameTypeUpdatesTheHeldComponentInPlace)
{
    auto* held = list().add(std::make_unique<Opacity>(0.5));
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(changes, 1);

    auto* again = list().add(std::make_unique<Opacity>(0.2));
    EXPECT_EQ(again, held);
    EXPECT_EQ(list().size(), 1u);
    EXPECT_EQ(static_cast<Opacity*>(held)->value.value(), 0.2);
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(list().add(nullptr), nullptr);
}

TEST_F(ListFixture, UpdateMayRunSlotsThatGrowTheList)
{
    auto* held = static_cast<Opacity*>(list().add(std::make_unique<Opacity>(0.5)));
    held->value.signalChanged.connect(this, [this](const corvaxis::ParameterBase*) {
        for (int i = 0; i < 16; ++i)
            list().add(std::make_unique<PyDataComponent>("grown" + std::to_string(i), i));
    });
    EXPECT_EQ(list().add(std::make_unique<Opacity>(0.25)), held);
    EXPECT_EQ(list().size(), 17u);
    EXPECT_EQ(held->value.value(), 0.25);
}

TEST_F(ListFixture, OtherTypesAreAppendedInOrder)
{
    auto* opacity = list().add(std::make_unique<Opacity>(0.5));
    auto* strong = list().add(std::make_unique<StrongOpacity>(0.9));
    auto* labels = list().add(std::make_unique<corvaxis::LabelDataComponent>());
    ASSERT_EQ(list().size(), 3u);
    EXPECT_EQ(list().at(0), opacity);
    EXPECT_EQ(list().at(1), strong);
    EXPECT_EQ(list().at(2), labels);
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(static_cast<Opacity*>(opacity)->value.value(), 0.5);

    // An update reaches the component of the identical type only.
    list().add(std::make_unique<StrongOpacity>(0.1));
    EXPECT_EQ(static_cast<Opacity*>(opacity)->value.value(), 0.5);
    EXPECT_EQ(static_cast<Opacity*>(strong)->value.value(), 0.1);
}

TEST_F(ListFixture, ComponentsWithTheParentInterfaceLearnTheirData)
{
    auto* owned = static_cast<Owned*>(list().add(std::make_unique<Owned>()));
    EXPECT_EQ(list().parent(), &mesh);
    EXPECT_EQ(owned->parent, &mesh);
}

TEST_F(ListFixture, PythonComponentsAreMatchedByIdentifier)
{
    auto* first = list().add(std::make_unique<PyDataComponent>("first", 1));
    auto* second = list().add(std::make_unique<PyDataComponent>("second", 2));
    EXPECT_NE(first, second);
    EXPECT_EQ(list().add(std::make_unique<PyDataComponent>("second", 5)), second);
    EXPECT_EQ(list().size(), 2u);
    EXPECT_EQ(static_cast<PyDataComponent*>(second)->payload.value(), 5);
    EXPECT_EQ(static_cast<PyDataComponent*>(first)->payload.value(), 1);
}

TEST_F(ListFixture, LabelComponentTakesOverLabelConfigs)
{
    auto labels = std::make_unique<corvaxis::LabelDataComponent>();
    labels->setLabelConfig(3, {"Sacrum", corvaxis::Vec4(0.1, 0.2, 0.3, 1.0), false});
    auto* held = static_cast<corvaxis::LabelDataComponent*>(list().add(std::make_unique<corvaxis::LabelDataComponent>()));
    list().add(std::move(labels));
    EXPECT_EQ(held->labelConfig(3).name, "Sacrum");
    EXPECT_FALSE(held->labelConfig(3).visible);
    EXPECT_EQ(held->labelConfig(4), corvaxis::LabelDataComponent::defaultLabelConfig(4));
    EXPECT_EQ(corvaxis::LabelDataComponent::defaultLabelConfig(4).name, "Label 4");

    // Its values survive a trip through Properties.
    corvaxis::Properties saved;
    held->configuration(&saved);
    corvaxis::LabelDataComponent restored;
    restored.configure(&saved);
    EXPECT_EQ(restored.labelConfigs(), held->labelConfigs());
}

TEST_F(ListFixture, CopyFromMakesIndependentCopies)
{
    list().add(std::make_unique<Opacity>(0.3));
    list().add(std::make_unique<Owned>());

    Mesh other;
    other.components().copyFrom(list());
    ASSERT_EQ(other.components().size(), 2u);
    auto* copiedOpacity = dynamic_cast<Opacity*>(other.components().at(0));
    auto* copiedOwned = dynamic_cast<Owned*>(other.components().at(1));
    ASSERT_NE(copiedOpacity, nullptr);
    ASSERT_NE(copiedOwned, nullptr);
    EXPECT_NE(copiedOpacity, list().at(0));
    EXPECT_EQ(copiedOpacity->value.value(), 0.3);
    EXPECT_EQ(copiedOpacity->value.owner(), copiedOpacity);
    EXPECT_EQ(copiedOwned->parent, &other);

    copiedOpacity->value = 0.8;
    EXPECT_EQ(static_cast<Opacity*>(list().at(0))->value.value(), 0.3);

    // Copying a data object copies its components the same way.
    Mesh copy(mesh);
    ASSERT_EQ(copy.components().size(), 2u);
    EXPECT_EQ(static_cast<Owned*>(copy.components().at(1))->parent, &copy);
    EXPECT_EQ(copy.components().parent(), &copy);
}

TEST_F(ListFixture, TakeAndClearReportChanges)
{
    auto* opacity = list().add(std::make_unique<Opacity>());
    list().add(std::make_unique<Owned>());
    changes = 0;
    std::unique_ptr<DataComponentBase> taken = list().take(opacity);
    EXPECT_EQ(taken.get(), opacity);
    EXPECT_EQ(list().take(opacity), nullptr);
    list().clear();
    list().clear();
    EXPECT_EQ(list().size(), 0u);
    EXPECT_EQ(changes, 2);
}
