#include "AnatomyTestSupport.h"

#include <gtest/gtest.h>

#include <limits>

using namespace corvaxis;
using corvaxis::test::LogCapture;
using corvaxis::test::StoreRecorder;
using Events = std::vector<std::string>;

namespace {
const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(KeyValueStoreSignals, FirstAssignmentAddsLaterOnesChangeWithThePreviousValue)
{
    KeyValueStore<Vec3> points;
    StoreRecorder pointRecorder(points);
    points["tip"];
    EXPECT_TRUE(pointRecorder.events.empty());
    points["tip"] = Vec3(1, 2, 3);
    points["tip"] = Vec3(4, 5, 6);
    EXPECT_EQ(pointRecorder.events, (Events{"added tip", "changed tip"}));
    EXPECT_EQ(pointRecorder.previousVectors, (std::vector<Vec3>{Vec3(1, 2, 3)}));

    KeyValueStore<Mesh> meshes;
    StoreRecorder meshRecorder(meshes);
    meshes["surface"] = std::make_unique<Mesh>();
    const Mesh* first = meshes["surface"].value().get();
    std::unique_ptr<Mesh> previous = meshes["surface"].replace(std::make_unique<Mesh>());
    EXPECT_EQ(previous.get(), first);
    EXPECT_EQ(meshRecorder.previousObjects, (std::vector<const Mesh*>{first}));
}

TEST(KeyValueStoreSignals, InvalidValuesAreRefusedAndLeaveTheEntryAsItWas)
{
    LogCapture log;
    KeyValueStore<Vec3> store;
    StoreRecorder recorder(store);
    auto& entry = store["a"];
    entry = Vec3(1, 2, 3);
    entry = Vec3(1, notANumber, 3);
    EXPECT_TRUE(entry.replace(Vec3(notANumber, 0, 0)).hasNaN());
    EXPECT_EQ(entry.value(), Vec3(1, 2, 3));
    EXPECT_EQ(entry.localValue(), Vec3(1, 2, 3));
    EXPECT_TRUE(entry.hasValue());
    EXPECT_EQ(recorder.events, (Events{"added a"}));

    KeyValueStore<Graph> graphs;
    graphs["g"] = nullptr;
    EXPECT_FALSE(graphs["g"].hasValue());
    EXPECT_EQ(log.messages, (Events{"Attempted to insert invalid entry (nullptr/NaN) into KeyValueStore!",
                                    "Attempting to insert invalid entry (nullptr/NaN) into KeyValueStore",
                                    "Attempted to insert invalid entry (nullptr/NaN) into KeyValueStore!"}));

    store["far"] = Vec3(inf, -inf, 0);  // infinity is a value, not a hole
    EXPECT_EQ(store["far"].value(), Vec3(inf, -inf, 0));
}

TEST(KeyValueStoreSignals, RemovalsAreAnnouncedAfterTheKeyIsGoneInByteOrder)
{
    KeyValueStore<Vec4> store;
    for (const char* key : {"b", "A", "a", "plane"})
        store[key] = Vec4(0, 0, 1, 2);
    store["never assigned"];
    StoreRecorder recorder(store);
    EXPECT_EQ(store.take("plane"), Vec4(0, 0, 1, 2));
    EXPECT_TRUE(store.take("plane").hasNaN());
    store.clear();
    // An entry that never held a value was never announced, so it leaves silently.
    EXPECT_EQ(recorder.events, (Events{"removed plane", "removed A", "removed a", "removed b"}));
    EXPECT_TRUE(store.empty());

    KeyValueStore<Mesh> meshes;
    meshes["m"] = std::make_unique<Mesh>();
    meshes["m"].value()->setName("alive while announced");
    std::string seen;
    SignalReceiver receiver;
    meshes.signalEntryRemoved.connect(&receiver, [&](const std::string&, Mesh& removed) { seen = removed.name(); });
    meshes.clear();
    EXPECT_EQ(seen, "alive while announced");
    EXPECT_EQ(meshes.take("m"), nullptr);
}

TEST(KeyValueStoreSignals, BlockedSignalsStaySilentWhileTheContentChanges)
{
    KeyValueStore<Vec3> store;
    StoreRecorder recorder(store);
    {
        SignalBlocker added(store.signalEntryAdded);
        SignalBlocker removed(store.signalEntryRemoved);
        store["a"] = Vec3::Ones();
        store["b"] = Vec3::Ones();
        store.take("b");
    }
    EXPECT_TRUE(store.has("a"));
    EXPECT_FALSE(store.has("b"));
    store["a"] = Vec3::Zero();
    EXPECT_EQ(recorder.events, (Events{"changed a"}));
}

TEST(KeyValueStoreSignals, MisuseIsLoggedNotRaised)
{
    LogCapture log;
    KeyValueStore<Vec3> store;
    StoreRecorder recorder(store);
    KeyValueStore<Vec3>::Entry detached(store);
    detached = Vec3(7, 8, 9);
    EXPECT_EQ(detached.value(), Vec3(7, 8, 9));
    EXPECT_TRUE(recorder.events.empty());

    const auto& missing = std::as_const(store)["missing"];
    EXPECT_TRUE(missing.value().hasNaN());
    EXPECT_FALSE(store.has("missing"));
    missing.attributes();
    EXPECT_EQ(log.messages, (Events{"Entry that was not part of map tried to emit signal",
                                    "Attempted to access missing element with key missing",
                                    "Invalid entry (nullptr/NaN) present in KeyValueStore"}));
}
