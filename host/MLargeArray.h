// Uninitialised arrays of plain records for bulk work.  A large array is
// 2 MiB-aligned and asks for transparent huge pages, which cuts the page
// faults of first touching it by orders of magnitude; its pages are first
// touched by whoever fills it (a parallel loop spreads them over threads).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

struct MFreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <class T>
using MLargeArray = std::unique_ptr<T[], MFreeDeleter>;

template <class T>
MLargeArray<T> NewLargeArray(size_t count) {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
    constexpr size_t kHugePage = size_t(2) << 20;
    const size_t bytes = count * sizeof(T);
    if (count != 0 && bytes / count != sizeof(T)) throw std::bad_alloc();
    const bool large = bytes >= kHugePage;
    const size_t alignment = large ? kHugePage : std::max<size_t>(alignof(T), alignof(std::max_align_t));
    const size_t rounded = (std::max<size_t>(bytes, 1) + alignment - 1) / alignment * alignment;
    void* p = std::aligned_alloc(alignment, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (large) madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return MLargeArray<T>(static_cast<T*>(p));
}
