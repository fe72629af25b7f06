// The once-guard of the module's process-wide values: a failed attempt
// leaves it open for the next caller on every build (mingw's std::call_once
// never re-opens), and a thread waits for another's attempt inside the scope
// where the module lets go of the interpreter lock.
#include "frame/once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

using kiln::OnceFlag;
using kiln::run_once;
using namespace std::chrono_literals;

struct NoWait {};

class Retry : public ::testing::TestWithParam<bool> {};

TEST_P(Retry, AFailedAttemptLeavesTheGuardOpenForTheNextCaller) {
    const bool by_throw = GetParam();
    OnceFlag flag;
    int runs = 0;
    auto failing = [&] {
        ++runs;
        if (by_throw) throw std::runtime_error("no");
        return false;
    };
    auto succeeding = [&] { return ++runs > 0; };
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (by_throw) {
            EXPECT_THROW(run_once<NoWait>(flag, failing), std::runtime_error);
        } else {
            run_once<NoWait>(flag, failing);
        }
        EXPECT_EQ(flag.state(), OnceFlag::State::Failed);
    }
    run_once<NoWait>(flag, succeeding);
    run_once<NoWait>(flag, succeeding);
    EXPECT_EQ(runs, 3) << "two failures, then one success and no more";
    EXPECT_TRUE(flag.done());
}

INSTANTIATE_TEST_SUITE_P(Ways, Retry, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Throw" : "Result"; });

std::atomic<int> g_waiting{0};
thread_local bool t_waiting = false;

// Stands in for the module's scope without the interpreter lock.
struct CountedWait {
    CountedWait() {
        t_waiting = true;
        ++g_waiting;
    }
    ~CountedWait() {
        t_waiting = false;
        --g_waiting;
    }
};

TEST(Once, WaitersWaitInTheirScopeWhileOneAttemptRunsOutsideIt) {
    OnceFlag flag;
    constexpr int kThreads = 6;
    std::atomic<int> running{0}, overlapping{0}, attempts{0}, inside_wait{0};
    auto attempt = [&] {
        inside_wait += t_waiting;
        overlapping += ++running > 1;
        int number = ++attempts;
        // The first attempt holds on until every other thread waits, as the
        // thread holding the interpreter lock needs them to have let it go;
        // then it fails, and exactly one waiter runs the next attempt.
        for (auto until = std::chrono::steady_clock::now() + 10s;
             number == 1 && g_waiting < kThreads - 1 && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(number > 1 || g_waiting == kThreads - 1);
        --running;
        return number > 1;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] { run_once<CountedWait>(flag, attempt); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(overlapping, 0);
    EXPECT_EQ(inside_wait, 0);
    EXPECT_TRUE(flag.done());
}

// A thread can be unwound as it takes the interpreter lock back, after it
// claimed the guard: the guard must not stay claimed by a thread that is gone.
struct UnwindingWait {
    static inline bool unwind = true;
    ~UnwindingWait() noexcept(false) {
        if (std::exchange(unwind, false)) throw std::runtime_error("unwound");
    }
};

TEST(Once, AnUnwindAfterTheClaimReopensTheGuard) {
    OnceFlag flag;
    int runs = 0;
    auto attempt = [&] { return ++runs > 0; };
    EXPECT_THROW(run_once<UnwindingWait>(flag, attempt), std::runtime_error);
    EXPECT_EQ(flag.state(), OnceFlag::State::Failed);
    run_once<UnwindingWait>(flag, attempt);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(flag.done());
}

}  // namespace
