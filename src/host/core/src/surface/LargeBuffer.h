#pragma once

#include "../HugePages.h"

#include <cstddef>
#include <vector>

// Scratch arrays of the surface algorithms: from a megabyte on, on transparent huge pages, since
// their memory is fresh on every call.
namespace corvaxis::surface {

template <typename T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t threshold = std::size_t{1} << 20;

    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T), threshold)); }

    void deallocate(T* pointer, std::size_t count) noexcept { freeLarge(pointer, count * sizeof(T), threshold); }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept
    {
        return true;
    }
};

template <typename T>
using LargeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace corvaxis::surface
