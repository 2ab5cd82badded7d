#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace corvaxis {

class SignalReceiver;

/// One connection between a signal and a receiver. The signal's slot and the receiver share it;
/// ending it from either side ends it for both, so neither ever calls into the other once gone.
class SignalConnection {
public:
    explicit SignalConnection(SignalReceiver* receiver) : m_receiver(receiver) {}
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;

    bool isLive() const { return m_receiver != nullptr; }
    SignalReceiver* receiver() const { return m_receiver; }

    bool isBlocked() const { return m_blocked; }
    void setBlocked(bool blocked) { m_blocked = blocked; }

    /// Ends the connection from the signal's side: the receiver forgets it.
    void disconnect();

private:
    friend class SignalReceiver;
    SignalReceiver* m_receiver;
    bool m_blocked = false;
};

/// Base of everything that receives signals. Its destruction ends all of its connections, so a
/// signal never calls a callback whose receiver is gone. Copies start without connections.
class SignalReceiver {
public:
    SignalReceiver() = default;
    SignalReceiver(const SignalReceiver&) {}
    SignalReceiver& operator=(const SignalReceiver&) { return *this; }
    virtual ~SignalReceiver();

    void addConnection(std::shared_ptr<SignalConnection> connection);
    void removeConnection(const SignalConnection* connection);
    std::size_t numConnections() const { return m_connections.size(); }

private:
    std::vector<std::shared_ptr<SignalConnection>> m_connections;
};

/// The part of a signal that does not depend on its arguments: the blocked flag.
class SignalBase {
public:
    SignalBase() = default;
    SignalBase(const SignalBase&) = delete;
    SignalBase& operator=(const SignalBase&) = delete;

    bool isBlocked() const { return m_blocked; }
    void setBlocked(bool blocked) { m_blocked = blocked; }

protected:
    ~SignalBase() = default;

private:
    bool m_blocked = false;
};

/// Mutes a signal for its lifetime and then restores the previous state.
class SignalBlocker {
public:
    explicit SignalBlocker(SignalBase& signal) : m_signal(signal), m_wasBlocked(signal.isBlocked())
    {
        m_signal.setBlocked(true);
    }
    ~SignalBlocker() { m_signal.setBlocked(m_wasBlocked); }
    SignalBlocker(const SignalBlocker&) = delete;
    SignalBlocker& operator=(const SignalBlocker&) = delete;

private:
    SignalBase& m_signal;
    bool m_wasBlocked;
};

/// A signal whose callbacks take Args (references stay references).
///
/// Callbacks run at once, in connection order. Connections made during an emission wait in a
/// pending list and are first called by the next emission; an emission started from a callback
/// of the same signal is skipped while that callback's connection is live. The signal may be
/// destroyed by one of its own callbacks: the running emission then stops.
template <typename... Args>
class SignalImpl : public SignalBase {
public:
    using Callback = std::function<void(Args...)>;

    SignalImpl() = default;
    /// Connections belong to one signal object: owners that are copied get a fresh signal.
    SignalImpl(const SignalImpl&) : SignalImpl() {}
    SignalImpl& operator=(const SignalImpl&) { return *this; }
    ~SignalImpl()
    {
        *m_alive = false;
        disconnectAll();
    }

    /// Connects a callback on behalf of the receiver; an empty callback makes no connection.
    std::shared_ptr<SignalConnection> connect(SignalReceiver* receiver, Callback callback)
    {
        if (!callback || !receiver)
            return nullptr;
        // Receivers that died since the last emission left dead slots; do not let them pile up.
        dropDeadSlots();
        auto connection = std::make_shared<SignalConnection>(receiver);
        receiver->addConnection(connection);
        (m_emitDepth > 0 ? m_pending : m_slots).push_back(Slot{connection, std::move(callback)});
        return connection;
    }

    void disconnect(const SignalReceiver* receiver)
    {
        for (auto* list : {&m_slots, &m_pending})
            for (Slot& slot : *list)
                if (slot.connection->receiver() == receiver)
                    slot.connection->disconnect();
        dropDeadSlots();
    }

    void disconnectAll()
    {
        for (auto* list : {&m_slots, &m_pending})
            for (Slot& slot : *list)
                slot.connection->disconnect();
        dropDeadSlots();
    }

    bool isConnectedTo(const SignalReceiver* receiver) const
    {
        for (const auto* list : {&m_slots, &m_pending})
            for (const Slot& slot : *list)
                if (slot.connection->isLive() && slot.connection->receiver() == receiver)
                    return true;
        return false;
    }

    std::size_t numConnections() const
    {
        std::size_t count = 0;
        for (const auto* list : {&m_slots, &m_pending})
            for (const Slot& slot : *list)
                count += slot.connection->isLive() ? 1 : 0;
        return count;
    }

    void emitSignal(Args... args)
    {
        if (isBlocked())
            return;
        if (m_runningSlot && m_runningSlot->isLive())
            return;
        EmissionScope scope(*this);
        const std::size_t count = m_slots.size();
        for (std::size_t i = 0; i < count; ++i) {
            // Copies: the callback may disconnect itself, which must not destroy what runs.
            const std::shared_ptr<SignalConnection> connection = m_slots[i].connection;
            if (!connection->isLive() || connection->isBlocked())
                continue;
            const Callback callback = m_slots[i].callback;
            m_runningSlot = connection.get();
            // Passed as lvalues: forwarding would let the first slot move a by-value argument away.
            callback(args...);
            if (!*scope.alive)
                return;
        }
    }

private:
    struct Slot {
        std::shared_ptr<SignalConnection> connection;
        Callback callback;
    };

    // Keeps depth and running slot right however the emission ends (a callback may throw, or
    // destroy this signal); the outermost emission merges pending slots and drops dead ones.
    struct EmissionScope {
        explicit EmissionScope(SignalImpl& signal)
            : signal(signal), alive(signal.m_alive), outerSlot(signal.m_runningSlot)
        {
            ++signal.m_emitDepth;
        }
        ~EmissionScope()
        {
            if (!*alive)
                return;
            signal.m_runningSlot = outerSlot;
            if (--signal.m_emitDepth == 0) {
                for (Slot& slot : signal.m_pending)
                    signal.m_slots.push_back(std::move(slot));
                signal.m_pending.clear();
                signal.dropDeadSlots();
            }
        }
        EmissionScope(const EmissionScope&) = delete;
        EmissionScope& operator=(const EmissionScope&) = delete;

        SignalImpl& signal;
        const std::shared_ptr<bool> alive;
        SignalConnection* const outerSlot;
    };

    void dropDeadSlots()
    {
        if (m_emitDepth > 0)
            return;
        std::erase_if(m_slots, [](const Slot& slot) { return !slot.connection->isLive(); });
        std::erase_if(m_pending, [](const Slot& slot) { return !slot.connection->isLive(); });
    }

    std::vector<Slot> m_slots;
    std::vector<Slot> m_pending;
    int m_emitDepth = 0;
    SignalConnection* m_runningSlot = nullptr;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace corvaxis
