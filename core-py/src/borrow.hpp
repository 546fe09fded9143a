// The per-object borrow flag of a Registry.
//
// Configuration and registration take exclusive access, every other method
// shared access. Nothing waits: a conflicting call fails at once. The flag is
// one atomic counter: -1 while borrowed exclusively, else the number of
// shared borrowers.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>

namespace kelvara::py {

enum class Access { Shared, Exclusive };

class BorrowFlag {
public:
    class Guard {
    public:
        Guard(BorrowFlag& flag, Access access) : flag_(flag), access_(access) { flag_.acquire(access_); }
        ~Guard() { flag_.release(access_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        BorrowFlag& flag_;
        Access access_;
    };

private:
    void acquire(Access access) {
        if (access == Access::Exclusive) {
            long expected = 0;
            if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire))
                throw nanobind::builtin_exception(nanobind::exception_type::runtime_error, "Already borrowed");
            return;
        }
        long cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur < 0)
                throw nanobind::builtin_exception(nanobind::exception_type::runtime_error, "Already mutably borrowed");
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }

    void release(Access access) {
        if (access == Access::Exclusive) state_.store(0, std::memory_order_release);
        else state_.fetch_sub(1, std::memory_order_release);
    }

    std::atomic<long> state_{0};
};

}  // namespace kelvara::py
