#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

// Scratch arrays of the surface algorithms: from a megabyte on they are aligned to, and advised
// for, transparent huge pages. Their memory is fresh on every call, and touching it page by page
// cost more than the work on it (a fault per 4 kB page against one per 2 MB).
namespace corvaxis::surface {

template <typename T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t hugePageSize = std::size_t{2} << 20;
    static constexpr std::size_t threshold = std::size_t{1} << 20;

    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t count)
    {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < threshold)
            return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + hugePageSize - 1) / hugePageSize * hugePageSize;
        void* pointer = std::aligned_alloc(hugePageSize, rounded);
        if (!pointer)
            throw std::bad_alloc();
        // Only advice: where huge pages are unavailable the buffer works the same with small ones.
        ::madvise(pointer, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(pointer);
    }

    void deallocate(T* pointer, std::size_t count) noexcept
    {
        if (count * sizeof(T) < threshold)
            ::operator delete(pointer);
        else
            std::free(pointer);
    }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept
    {
        return true;
    }
};

template <typename T>
using LargeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace corvaxis::surface
