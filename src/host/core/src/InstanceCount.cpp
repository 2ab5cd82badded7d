#include "corvaxis/core/InstanceCount.h"

#include <mutex>

namespace corvaxis {

namespace {

struct CounterRegistry {
    std::mutex mutex;
    std::vector<const InstanceCounter*> counters;
};

// Never destroyed: counters outlive every object that counts itself with them.
CounterRegistry& registry()
{
    static auto* instance = new CounterRegistry;
    return *instance;
}

}  // namespace

InstanceCounter::InstanceCounter(std::string kind) : m_kind(std::move(kind))
{
    CounterRegistry& counters = registry();
    std::lock_guard lock(counters.mutex);
    counters.counters.push_back(this);
}

std::vector<std::pair<std::string, long>> InstanceCounter::snapshot()
{
    CounterRegistry& counters = registry();
    std::lock_guard lock(counters.mutex);
    std::vector<std::pair<std::string, long>> counts;
    for (const InstanceCounter* counter : counters.counters)
        counts.emplace_back(counter->kind(), counter->live());
    return counts;
}

InstanceCounter& dataObjectCounter()
{
    static auto* counter = new InstanceCounter("data objects");
    return *counter;
}

InstanceCounter& componentCounter()
{
    static auto* counter = new InstanceCounter("components");
    return *counter;
}

}  // namespace corvaxis
