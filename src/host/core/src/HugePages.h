#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

// Large buffers whose memory is fresh when they are filled: touching such memory page by page
// costs a fault per 4 kB, more than the work on it, against one per 2 MB on a huge page.
namespace corvaxis {

inline constexpr std::size_t hugePageSize = std::size_t{2} << 20;

/// `bytes` of memory; from `threshold` bytes on aligned to, and advised for, transparent huge
/// pages. Throws std::bad_alloc. Freed by freeLarge with the same size and threshold.
inline void* allocateLarge(std::size_t bytes, std::size_t threshold)
{
    if (bytes < threshold)
        return ::operator new(bytes);
    const std::size_t rounded = (bytes + hugePageSize - 1) / hugePageSize * hugePageSize;
    void* pointer = std::aligned_alloc(hugePageSize, rounded);
    if (!pointer)
        throw std::bad_alloc();
    // Only advice: where huge pages are unavailable the buffer works the same with small ones.
    ::madvise(pointer, rounded, MADV_HUGEPAGE);
    return pointer;
}

inline void freeLarge(void* pointer, std::size_t bytes, std::size_t threshold) noexcept
{
    if (bytes < threshold)
        ::operator delete(pointer);
    else
        std::free(pointer);
}

}  // namespace corvaxis
