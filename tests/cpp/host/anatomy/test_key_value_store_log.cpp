#include "AnatomyTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Counts heap allocations while a test asks for it: a message that is built allocates.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_allocations{0};

void* countedAllocation(std::size_t size) noexcept
{
    g_allocations += g_counting ? 1 : 0;
    return std::malloc(size ? size : 1);
}
void* countedAllocationOrThrow(std::size_t size)
{
    if (void* memory = countedAllocation(size))
        return memory;
    throw std::bad_alloc();
}
}  // namespace

// Every plain form is replaced, so that no allocation reaches a delete of another family.
void* operator new(std::size_t size) { return countedAllocationOrThrow(size); }
void* operator new[](std::size_t size) { return countedAllocationOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return countedAllocation(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return countedAllocation(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

using namespace corvaxis;

namespace {
std::size_t allocationsOfMissingKeyAccess(const KeyValueStore<Vec3>& store)
{
    const std::string key(64, 'k');
    g_allocations = 0;
    g_counting = true;
    store[key];
    g_counting = false;
    return g_allocations;
}
}  // namespace

TEST(KeyValueStoreLog, MessagesAreNotBuiltWhenTheLogRejectsThem)
{
    test::LogCapture log;
    KeyValueStore<Vec3> store;
    allocationsOfMissingKeyAccess(store);  // first use sets up the shared empty entry
    log.messages.clear();

    Log::g_globalLevel = Log::Fatal;
    EXPECT_EQ(allocationsOfMissingKeyAccess(store), 0u);
    Log::g_globalLevel = Log::Trace;
    Log::setCategoryLevel("AnatomyPlugin", Log::Fatal);
    EXPECT_EQ(allocationsOfMissingKeyAccess(store), 0u);
    store["x"] = Vec3(0, std::nan(""), 0);
    EXPECT_TRUE(log.messages.empty());

    Log::removeCategoryFilter("AnatomyPlugin");
    EXPECT_GT(allocationsOfMissingKeyAccess(store), 0u);
    EXPECT_EQ(log.messages, (std::vector<std::string>{"Attempted to access missing element with key " + std::string(64, 'k')}));
}
