#include "corvaxis/core/Signal.h"

#include <algorithm>

namespace corvaxis {

void SignalConnection::disconnect()
{
    if (SignalReceiver* receiver = std::exchange(m_receiver, nullptr))
        receiver->removeConnection(this);
}

SignalReceiver::~SignalReceiver()
{
    // Ending each connection first: a signal that outlives this receiver only sees dead slots.
    for (const auto& connection : m_connections)
        connection->m_receiver = nullptr;
}

void SignalReceiver::addConnection(std::shared_ptr<SignalConnection> connection)
{
    m_connections.push_back(std::move(connection));
}

void SignalReceiver::removeConnection(const SignalConnection* connection)
{
    std::erase_if(m_connections, [connection](const auto& held) { return held.get() == connection; });
}

}  // namespace corvaxis
