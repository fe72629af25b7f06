// The once-guard of the module's process-wide values: an attempt that fails
// leaves the guard open for the next caller, on every build (mingw's
// std::call_once never re-opens), and a thread waits for another's attempt
// inside the scope where the module lets go of the interpreter lock.
#include "frame/once.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

using kiln::OnceFlag;
using kiln::run_once;
using State = OnceFlag::State;
using namespace std::chrono_literals;

struct NoWait {};

std::atomic<int> g_waiting{0};
thread_local bool t_waiting = false;

// Stands in for the module's scope without the interpreter lock.
struct CountedWait {
    CountedWait() {
        t_waiting = true;
        ++g_waiting;
    }
    ~CountedWait() {
        --g_waiting;
        t_waiting = false;
    }
};

template <class Predicate>
bool eventually(Predicate predicate) {
    for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
        if (predicate()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

enum class Failing { ByResult, ByThrow };

class Retry : public ::testing::TestWithParam<Failing> {
protected:
    // One failed attempt, by the way under test.
    void fail_once(OnceFlag& flag, int& runs) {
        auto attempt = [&] {
            ++runs;
            if (GetParam() == Failing::ByThrow) throw std::runtime_error("no");
            return false;
        };
        if (GetParam() == Failing::ByThrow) {
            EXPECT_THROW(run_once<NoWait>(flag, attempt), std::runtime_error);
        } else {
            run_once<NoWait>(flag, attempt);
        }
    }
};

TEST_P(Retry, AFailedAttemptLeavesTheGuardOpenForTheNextCaller) {
    OnceFlag flag;
    int runs = 0;
    fail_once(flag, runs);
    EXPECT_EQ(flag.state(), State::Failed);
    EXPECT_FALSE(flag.done());
    fail_once(flag, runs);
    EXPECT_EQ(runs, 2);

    run_once<NoWait>(flag, [&] { return ++runs, true; });
    EXPECT_EQ(runs, 3);
    EXPECT_TRUE(flag.done());
    run_once<NoWait>(flag, [&] { return ++runs, true; });
    EXPECT_EQ(runs, 3) << "a succeeded guard ran again";
}

INSTANTIATE_TEST_SUITE_P(Ways, Retry, ::testing::Values(Failing::ByResult, Failing::ByThrow),
                         [](const auto& info) { return info.param == Failing::ByThrow ? "Throw" : "Result"; });

TEST(Once, WaitersBlockInTheirWaitingScopeWhileOneAttemptRuns) {
    OnceFlag flag;
    constexpr int kThreads = 6;
    std::atomic<int> running{0}, most_running{0}, attempts{0}, successes{0};
    std::atomic<bool> ran_inside_wait{false};
    auto attempt = [&] {
        if (t_waiting) ran_inside_wait = true;
        int now = ++running;
        most_running = std::max(most_running.load(), now);
        int number = ++attempts;
        // The first attempt holds on until every other thread waits, as the
        // one holding the interpreter lock would need them to have let it go.
        if (number == 1) {
            EXPECT_TRUE(eventually([] { return g_waiting.load() == kThreads - 1; }));
        }
        --running;
        if (number == 1) return false;
        ++successes;
        return true;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] { run_once<CountedWait>(flag, attempt); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(attempts.load(), 2) << "one failure, then exactly one success";
    EXPECT_EQ(successes.load(), 1);
    EXPECT_EQ(most_running.load(), 1);
    EXPECT_FALSE(ran_inside_wait.load()) << "an attempt must run after the waiting scope ended";
    EXPECT_EQ(g_waiting.load(), 0);
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
    EXPECT_THROW(run_once<UnwindingWait>(flag, [&] { return ++runs, true; }), std::runtime_error);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(flag.state(), State::Failed);
    run_once<UnwindingWait>(flag, [&] { return ++runs, true; });
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(flag.done());
}

}  // namespace
