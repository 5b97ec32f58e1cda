// Work shared among threads and vector lanes by the native cores. How many threads a call may
// use is decided once, by the caller, from the controls users already set for scikit-learn's
// own OpenMP code (OMP_NUM_THREADS, threadpoolctl); no core asks the machine itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

// A hot loop built twice, once for the wider vector unit most x86 processors have; the
// processor picks at load time. Results never depend on which build runs.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_ADDRESS__)
#define HUESIFT_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define HUESIFT_WIDE_VECTORS
#endif

namespace huesift {

// No more threads than tasks, and at least one.
inline unsigned workers_for(std::size_t tasks, unsigned threads) {
    return static_cast<unsigned>(
        std::min<std::size_t>(std::max(1u, threads), std::max<std::size_t>(tasks, 1)));
}

// fn(task, worker) for every task in [0, tasks), on up to `workers` threads (the caller's
// among them) taking tasks in order; the first exception is passed on once every thread has
// stopped. Which worker runs a task must never change a result.
template <class Fn>
void parallel_for(std::size_t tasks, unsigned workers, Fn&& fn) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto work = [&](unsigned worker) {
        try {
            for (std::size_t t; (t = next++) < tasks;) {
                fn(t, worker);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure) {
                failure = std::current_exception();
            }
            next = tasks;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(work, w);
        } catch (...) {
            break;  // fewer threads: the tasks are shared among those running
        }
    }
    work(0);
    for (std::thread& t : threads) {
        t.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace huesift
