#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace corvaxis {

/// The number of live instances of one kind of host object. Tests read every counter before and
/// after a piece of work to see that nothing it made outlives it.
///
/// Counters are registered by name on first use and never destroyed, so that objects released
/// late during process exit can still count themselves down.
class InstanceCounter {
public:
    explicit InstanceCounter(std::string kind);
    InstanceCounter(const InstanceCounter&) = delete;
    InstanceCounter& operator=(const InstanceCounter&) = delete;

    void added() noexcept { m_live.fetch_add(1, std::memory_order_relaxed); }
    void removed() noexcept { m_live.fetch_sub(1, std::memory_order_relaxed); }
    long live() const noexcept { return m_live.load(std::memory_order_relaxed); }
    const std::string& kind() const { return m_kind; }

    /// (kind, live instances) of every counter registered so far, in registration order.
    static std::vector<std::pair<std::string, long>> snapshot();

private:
    std::string m_kind;
    std::atomic<long> m_live{0};
};

/// A member that counts the object holding it: it is constructed, copied and destroyed with its
/// holder, and assigning holders changes no count. `counter` returns the kind's counter.
template <InstanceCounter& (*counter)()>
class CountedInstance {
public:
    CountedInstance() noexcept { counter().added(); }
    CountedInstance(const CountedInstance&) noexcept { counter().added(); }
    CountedInstance& operator=(const CountedInstance&) noexcept { return *this; }
    ~CountedInstance() { counter().removed(); }
};

/// Counters of the data library: every data object (collections included) and every component.
InstanceCounter& dataObjectCounter();
InstanceCounter& componentCounter();

}  // namespace corvaxis
