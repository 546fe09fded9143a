// The allocator of every JSON value: small blocks come from a per-thread
// cache of freed blocks, so building and releasing large values (a converted
// request, a result of ten thousand documents) does not pay the general
// allocator's slow paths twice per node.
//
// The cache only recycles blocks it obtained from ::operator new, keeps at
// most 64 MiB per thread, and returns everything when its thread ends. Blocks may be freed on another thread than the one that
// allocated them; they then join that thread's cache.
#pragma once

#include <cstddef>
#include <new>

namespace kelvara::json::detail {

void* pool_allocate(std::size_t bytes);
void pool_deallocate(void* p, std::size_t bytes) noexcept;

template <class T>
struct PoolAllocator {
    using value_type = T;

    PoolAllocator() noexcept = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(pool_allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { pool_deallocate(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const PoolAllocator<U>&) const noexcept { return true; }
};

}  // namespace kelvara::json::detail
