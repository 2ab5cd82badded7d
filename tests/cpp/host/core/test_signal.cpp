#include "corvaxis/core/Signal.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using corvaxis::SignalBlocker;
using corvaxis::SignalImpl;
using corvaxis::SignalReceiver;

namespace {
struct Receiver : SignalReceiver {};
using Calls = std::vector<std::string>;
}  // namespace

TEST(SignalEmission, CallsSlotsAtOnceInConnectionOrder)
{
    SignalImpl<int, const std::string&> signal;
    Receiver first, second;
    Calls calls;
    signal.connect(&second, [&](int n, const std::string& s) { calls.push_back("second" + std::to_string(n) + s); });
    signal.connect(&first, [&](int n, const std::string& s) { calls.push_back("first" + std::to_string(n) + s); });
    signal.connect(&second, [&](int n, const std::string&) { calls.push_back("again" + std::to_string(n)); });

    signal.emitSignal(7, "x");
    EXPECT_EQ(calls, (Calls{"second7x", "first7x", "again7"}));
}

TEST(SignalEmission, ReferenceArgumentsAreSharedAndValueArgumentsReachEverySlot)
{
    SignalImpl<int&> counter;
    Receiver receiver;
    counter.connect(&receiver, [](int& n) { ++n; });
    counter.connect(&receiver, [](int& n) { n *= 10; });
    int value = 1;
    counter.emitSignal(value);
    EXPECT_EQ(value, 20);

    // A by-value argument must not be consumed by the first slot.
    SignalImpl<std::string> text;
    Calls seen;
    for (int i = 0; i < 3; ++i)
        text.connect(&receiver, [&](std::string s) { seen.push_back(std::move(s)); });
    text.emitSignal(std::string(40, 'p'));
    EXPECT_EQ(seen, Calls(3, std::string(40, 'p')));
}

TEST(SignalConnect, EmptyCallbackMakesNoConnection)
{
    SignalImpl<int> signal;
    Receiver receiver;
    EXPECT_EQ(signal.connect(&receiver, {}), nullptr);
    EXPECT_EQ(signal.connect(&receiver, std::function<void(int)>()), nullptr);
    EXPECT_FALSE(signal.isConnectedTo(&receiver));
    EXPECT_EQ(signal.numConnections(), 0u);
    EXPECT_EQ(receiver.numConnections(), 0u);
    signal.emitSignal(1);
}

TEST(SignalConnect, SlotConnectedDuringEmissionWaitsForTheNextOne)
{
    SignalImpl<> signal;
    Receiver a, b, late;
    Calls calls;
    bool connected = false;
    signal.connect(&a, [&] {
        calls.push_back("a");
        if (!connected) {
            connected = true;
            signal.connect(&late, [&] { calls.push_back("late"); });
            EXPECT_TRUE(signal.isConnectedTo(&late));
        }
    });
    signal.connect(&b, [&] { calls.push_back("b"); });

    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"a", "b"}));
    calls.clear();
    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"a", "b", "late"}));
}

TEST(SignalReentrancy, EmissionFromALiveSlotIsSkipped)
{
    SignalImpl<int> signal;
    Receiver a, b;
    Calls calls;
    signal.connect(&a, [&](int depth) {
        calls.push_back("a" + std::to_string(depth));
        signal.emitSignal(depth + 1);
    });
    signal.connect(&b, [&](int depth) { calls.push_back("b" + std::to_string(depth)); });

    signal.emitSignal(0);
    EXPECT_EQ(calls, (Calls{"a0", "b0"}));
}

TEST(SignalReentrancy, EmissionRunsOnceTheSlotDisconnectedItself)
{
    SignalImpl<int> signal;
    Receiver a, b;
    Calls calls;
    signal.connect(&a, [&](int depth) {
        calls.push_back("a" + std::to_string(depth));
        signal.disconnect(&a);
        signal.emitSignal(depth + 1);
    });
    signal.connect(&b, [&](int depth) { calls.push_back("b" + std::to_string(depth)); });

    signal.emitSignal(0);
    EXPECT_EQ(calls, (Calls{"a0", "b1", "b0"}));
    calls.clear();
    signal.emitSignal(5);
    EXPECT_EQ(calls, (Calls{"b5"}));
    // The outer emission restored its state: a fresh emission from outside is not skipped.
    signal.emitSignal(6);
    EXPECT_EQ(calls, (Calls{"b5", "b6"}));
}

TEST(SignalDisconnect, ReceiverDisconnectedDuringEmissionIsNotCalledLater)
{
    SignalImpl<> signal;
    Receiver a, b;
    Calls calls;
    signal.connect(&a, [&] {
        calls.push_back("a");
        // The pending connection made here ends as well.
        signal.connect(&b, [&] { calls.push_back("b-pending"); });
        signal.disconnect(&b);
    });
    signal.connect(&b, [&] { calls.push_back("b"); });
    signal.connect(&b, [&] { calls.push_back("b2"); });

    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"a"}));
    EXPECT_FALSE(signal.isConnectedTo(&b));
    EXPECT_EQ(b.numConnections(), 0u);
    EXPECT_EQ(signal.numConnections(), 1u);
}

TEST(SignalDisconnect, DisconnectAndDisconnectAllEndBothSides)
{
    SignalImpl<> signal;
    Receiver a, b, stranger;
    int calls = 0;
    auto connection = signal.connect(&a, [&] { ++calls; });
    signal.connect(&b, [&] { ++calls; });
    EXPECT_TRUE(signal.isConnectedTo(&a));
    EXPECT_FALSE(signal.isConnectedTo(&stranger));

    connection->disconnect();
    EXPECT_FALSE(signal.isConnectedTo(&a));
    EXPECT_EQ(a.numConnections(), 0u);
    signal.emitSignal();
    EXPECT_EQ(calls, 1);

    signal.disconnectAll();
    EXPECT_EQ(b.numConnections(), 0u);
    signal.emitSignal();
    EXPECT_EQ(calls, 1);
}

TEST(SignalBlocking, BlockedSignalEmitsNothing)
{
    SignalImpl<> signal;
    Receiver receiver;
    int calls = 0;
    signal.connect(&receiver, [&] { ++calls; });
    signal.setBlocked(true);
    signal.emitSignal();
    EXPECT_EQ(calls, 0);
    signal.setBlocked(false);
    signal.emitSignal();
    EXPECT_EQ(calls, 1);
}

TEST(SignalBlocking, BlockersNestAndRestoreThePreviousState)
{
    SignalImpl<> signal;
    Receiver receiver;
    int calls = 0;
    signal.connect(&receiver, [&] { ++calls; });
    {
        SignalBlocker outer(signal);
        {
            SignalBlocker inner(signal);
            signal.emitSignal();
        }
        EXPECT_TRUE(signal.isBlocked());
        signal.emitSignal();
    }
    EXPECT_FALSE(signal.isBlocked());
    signal.emitSignal();
    EXPECT_EQ(calls, 1);

    signal.setBlocked(true);
    { SignalBlocker blocker(signal); }
    EXPECT_TRUE(signal.isBlocked());
}

TEST(SignalBlocking, BlockedConnectionIsSkippedAlone)
{
    SignalImpl<> signal;
    Receiver a, b;
    Calls calls;
    auto connection = signal.connect(&a, [&] { calls.push_back("a"); });
    signal.connect(&b, [&] { calls.push_back("b"); });
    connection->setBlocked(true);
    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"b"}));
    EXPECT_TRUE(signal.isConnectedTo(&a));
    connection->setBlocked(false);
    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"b", "a", "b"}));
}

TEST(SignalLifetime, DestroyedReceiverIsNeverCalled)
{
    SignalImpl<> signal;
    auto receiver = std::make_unique<Receiver>();
    int calls = 0;
    signal.connect(receiver.get(), [&] { ++calls; });
    receiver.reset();
    EXPECT_EQ(signal.numConnections(), 0u);
    signal.emitSignal();
    EXPECT_EQ(calls, 0);
}

TEST(SignalLifetime, ReceiverDestroyedMidEmissionIsNotCalled)
{
    SignalImpl<> signal;
    Receiver a;
    auto doomed = std::make_unique<Receiver>();
    Calls calls;
    signal.connect(&a, [&] {
        calls.push_back("a");
        doomed.reset();
    });
    signal.connect(doomed.get(), [&] { calls.push_back("doomed"); });
    signal.connect(&a, [&] { calls.push_back("a2"); });

    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"a", "a2"}));
    EXPECT_EQ(signal.numConnections(), 2u);
}

TEST(SignalLifetime, SignalDestructionEndsTheReceiversConnections)
{
    Receiver receiver;
    {
        SignalImpl<> signal;
        signal.connect(&receiver, [] {});
        signal.connect(&receiver, [] {});
        EXPECT_EQ(receiver.numConnections(), 2u);
    }
    EXPECT_EQ(receiver.numConnections(), 0u);
}

TEST(SignalLifetime, SignalDestroyedByItsOwnSlotStopsSafely)
{
    auto signal = std::make_unique<SignalImpl<std::string>>();
    Receiver a, b;
    Calls calls;
    signal->connect(&a, [&](std::string s) {
        calls.push_back("a" + s);
        signal.reset();
    });
    signal->connect(&b, [&](std::string s) { calls.push_back("b" + s); });

    signal->emitSignal("!");
    EXPECT_EQ(signal, nullptr);
    EXPECT_EQ(calls, (Calls{"a!"}));
    EXPECT_EQ(a.numConnections(), 0u);
    EXPECT_EQ(b.numConnections(), 0u);
}

TEST(SignalLifetime, SignalDestroyedInANestedEmissionStopsBothLevels)
{
    auto signal = std::make_unique<SignalImpl<int>>();
    Receiver a, b, c;
    Calls calls;
    signal->connect(&a, [&](int depth) {
        calls.push_back("a" + std::to_string(depth));
        signal->disconnect(&a);
        signal->emitSignal(depth + 1);
        calls.push_back("a-after");
    });
    signal->connect(&b, [&](int depth) {
        calls.push_back("b" + std::to_string(depth));
        signal.reset();
    });
    signal->connect(&c, [&](int depth) { calls.push_back("c" + std::to_string(depth)); });

    signal->emitSignal(0);
    EXPECT_EQ(calls, (Calls{"a0", "b1", "a-after"}));
    EXPECT_EQ(c.numConnections(), 0u);
}

TEST(SignalLifetime, ThrowingSlotLeavesTheSignalUsable)
{
    SignalImpl<> signal;
    Receiver a, b, late;
    Calls calls;
    bool fail = true;
    signal.connect(&a, [&] {
        calls.push_back("a");
        if (fail) {
            signal.connect(&late, [&] { calls.push_back("late"); });
            throw std::runtime_error("slot failed");
        }
    });
    signal.connect(&b, [&] { calls.push_back("b"); });

    EXPECT_THROW(signal.emitSignal(), std::runtime_error);
    EXPECT_EQ(calls, (Calls{"a"}));
    fail = false;
    calls.clear();
    signal.emitSignal();
    EXPECT_EQ(calls, (Calls{"a", "b", "late"}));
}

TEST(SignalCopies, CopiedSignalsAndReceiversStartWithoutConnections)
{
    SignalImpl<> signal;
    Receiver receiver;
    int original = 0;
    signal.connect(&receiver, [&] { ++original; });

    SignalImpl<> copy(signal);
    EXPECT_EQ(copy.numConnections(), 0u);
    copy.emitSignal();
    EXPECT_EQ(original, 0);

    Receiver other;
    int assigned = 0;
    SignalImpl<> target;
    target.connect(&other, [&] { ++assigned; });
    target = signal;
    target.emitSignal();
    EXPECT_EQ(original, 0);
    EXPECT_EQ(assigned, 1);

    {
        Receiver receiverCopy(receiver);
        EXPECT_EQ(receiverCopy.numConnections(), 0u);
        EXPECT_FALSE(signal.isConnectedTo(&receiverCopy));
    }
    // Destroying the copy must not end the original's connection.
    signal.emitSignal();
    EXPECT_EQ(original, 1);
    EXPECT_EQ(receiver.numConnections(), 1u);
}
