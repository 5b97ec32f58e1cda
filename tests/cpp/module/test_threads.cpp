// The thread policy where scikit-learn gives no count: OMP_NUM_THREADS when it is a positive
// number, else the cores this process may run on; always between 1 and 256.
#include "module/threads.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#if defined(__linux__)
#include <sched.h>
#endif

namespace huesift {
namespace {

// Sets OMP_NUM_THREADS (or unsets it) for one test, and puts it back.
class omp_setting {
public:
    explicit omp_setting(const char* value) {
        if (const char* old = std::getenv("OMP_NUM_THREADS")) {
            old_ = old;
        }
        if (value == nullptr) {
            unsetenv("OMP_NUM_THREADS");
        } else {
            setenv("OMP_NUM_THREADS", value, 1);
        }
    }
    ~omp_setting() {
        if (old_) {
            setenv("OMP_NUM_THREADS", old_->c_str(), 1);
        } else {
            unsetenv("OMP_NUM_THREADS");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(Threads, ScikitLearnsCountWins) {
    const omp_setting omp("3");
    EXPECT_EQ(threads::allowed(5), 5u);
    EXPECT_EQ(threads::allowed(1), 1u);
    EXPECT_EQ(threads::allowed(100000), 256u);
}

TEST(Threads, WithoutItOmpNumThreads) {
    struct row {
        const char* omp;
        long expected;  // 0: the cores allowed
    };
    for (const row& r : {row{"3", 3}, row{"12abc", 12}, row{"1000", 256}, row{"0", 0}, row{"-2", 0},
                         row{"many", 0}, row{"", 0}, row{nullptr, 0}}) {
        const omp_setting omp(r.omp);
        const long cores = threads::allowed_cores();
        ASSERT_GE(cores, 1);
        const long expected = r.expected ? r.expected : cores;
        for (long asked : {0L, -1L}) {
            EXPECT_EQ(threads::allowed(asked), static_cast<unsigned>(expected))
                << (r.omp ? r.omp : "unset");
        }
    }
}

#if defined(__linux__)
TEST(Threads, TheCoresThisProcessMayRunOn) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const long pinned = threads::allowed_cores();
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(pinned, 1);
    EXPECT_EQ(threads::allowed_cores(), CPU_COUNT(&all));
}
#endif

}  // namespace
}  // namespace huesift
