// Tasks shared among threads: each runs once, whatever the number of threads, and the first
// failure reaches the caller once every thread has stopped.
#include "preparation/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace huesift {
namespace {

TEST(Parallel, EveryTaskRunsOnceOnAnyNumberOfWorkers) {
    for (unsigned workers : {1u, 2u, 8u}) {
        std::vector<std::atomic<int>> runs(1000);
        std::atomic<unsigned> highest{0};
        parallel_for(runs.size(), workers, [&](std::size_t task, unsigned worker) {
            ++runs[task];
            unsigned seen = highest.load();
            while (worker > seen && !highest.compare_exchange_weak(seen, worker)) {
            }
        });
        for (const auto& r : runs) {
            ASSERT_EQ(r.load(), 1) << workers;
        }
        EXPECT_LT(highest.load(), workers);
    }
    int called = 0;
    parallel_for(0, 4, [&](std::size_t, unsigned) { ++called; });
    EXPECT_EQ(called, 0);
}

TEST(Parallel, TheFirstFailureStopsTheRest) {
    std::atomic<int> ran{0};
    std::atomic<bool> thrown{false};
    // The later tasks start only once task 10 has thrown, and take a while, so that the other
    // workers cannot run them all while the failing one is descheduled on a busy machine.
    EXPECT_THROW(parallel_for(100000, 4,
                              [&](std::size_t task, unsigned) {
                                  ++ran;
                                  if (task == 10) {
                                      thrown = true;
                                      throw std::runtime_error("task 10");
                                  }
                                  if (task > 10) {
                                      while (!thrown) {
                                          std::this_thread::yield();
                                      }
                                      std::this_thread::sleep_for(std::chrono::microseconds(20));
                                  }
                              }),
                 std::runtime_error);
    EXPECT_LT(ran.load(), 100000);
}

TEST(Parallel, NoMoreWorkersThanTasksAndAtLeastOne) {
    EXPECT_EQ(workers_for(3, 8), 3u);
    EXPECT_EQ(workers_for(100, 8), 8u);
    EXPECT_EQ(workers_for(0, 8), 1u);
    EXPECT_EQ(workers_for(5, 0), 1u);
}

}  // namespace
}  // namespace huesift
