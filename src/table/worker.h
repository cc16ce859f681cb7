// The columnar job's threads. A thread's first exception allocates the
// C++ runtime's per-thread state (the exceptions in flight, the unwinder's
// own), and the C library ends the process when that allocation fails: an
// allocation failing deep in a job would abort instead of being reported as
// MemoryError. So each thread of the job throws and catches one exception
// before the job has used memory up (a thread of its own as it starts,
// while its creator waits; the caller's as the job starts); from then on
// its failures are exceptions like any other.
#pragma once

#include <atomic>
#include <thread>
#include <utility>

namespace vlm::table {

// The calling thread's exception state, in place.
inline void prime_exceptions() noexcept {
    try {
        throw 0;
    } catch (int) {
    }
}

// A thread running `body`, its exception state in place once this returns.
// Throws as std::thread's constructor does.
template <class F>
std::thread start_worker(F&& body) {
    std::atomic<bool> ready{false};
    std::thread t([&ready, body = std::forward<F>(body)]() mutable {
        prime_exceptions();
        ready.store(true, std::memory_order_release);
        ready.notify_one();
        body();
    });
    ready.wait(false, std::memory_order_acquire);
    return t;
}

}  // namespace vlm::table
