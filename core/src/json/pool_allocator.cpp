#include "json/pool_allocator.hpp"

#include <array>
#include <cstdint>

namespace kelvara::json::detail {

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 8;          // blocks of 16 .. 128 bytes
// Bytes a thread keeps for reuse. Large results (hundreds of thousands of
// nodes) are built and released on every request; without a budget this
// size, the general allocator trims the freed memory and the next request
// faults it in again.
constexpr std::size_t kMaxCachedBytes = std::size_t{64} << 20; // per class and thread

struct FreeBlock {
    FreeBlock* next;
};

class ThreadCache {
public:
    ~ThreadCache() {
        for (std::size_t c = 0; c < kClasses; ++c) {
            while (FreeBlock* b = heads_[c]) {
                heads_[c] = b->next;
                ::operator delete(b);
            }
        }
    }

    void* take(std::size_t c) {
        FreeBlock* b = heads_[c];
        if (!b) return nullptr;
        heads_[c] = b->next;
        // The next block of this class is likely cold: start loading it now,
        // so that the pointer chase of the following allocation overlaps
        // with the work done in between.
        if (b->next) __builtin_prefetch(b->next, 1);
        cached_bytes_ -= (c + 1) * kGranule;
        return b;
    }

    bool put(std::size_t c, void* p) {
        const std::size_t size = (c + 1) * kGranule;
        if (cached_bytes_ + size > kMaxCachedBytes) return false;
        auto* b = static_cast<FreeBlock*>(p);
        b->next = heads_[c];
        heads_[c] = b;
        cached_bytes_ += size;
        return true;
    }

private:
    std::array<FreeBlock*, kClasses> heads_{};
    std::size_t cached_bytes_ = 0;
};

thread_local ThreadCache cache;

std::size_t size_class(std::size_t bytes) { return (bytes + kGranule - 1) / kGranule - 1; }

}  // namespace

void* pool_allocate(std::size_t bytes) {
    if (bytes == 0 || bytes > kGranule * kClasses) return ::operator new(bytes);
    const std::size_t c = size_class(bytes);
    if (void* p = cache.take(c)) return p;
    return ::operator new((c + 1) * kGranule);
}

void pool_deallocate(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes == 0 || bytes > kGranule * kClasses || !cache.put(size_class(bytes), p)) ::operator delete(p);
}

}  // namespace kelvara::json::detail
