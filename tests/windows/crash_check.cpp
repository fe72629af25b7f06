// A test that crashes on purpose, with the contract tests' Windows entry:
// ctest expects its run to fail, as every crashing contract test's must.
#include <gtest/gtest.h>
#include <windows.h>

namespace {

VOID CALLBACK pause_briefly(PTP_CALLBACK_INSTANCE, PVOID) { Sleep(100); }

TEST(Crash, FailsTheRun) {
    // Under Wine's debugger, a crash while thread-pool work items run, as the
    // calls leave them, ends the process with code 0 about half the time.
    for (int item = 0; item < 12; ++item) {
        ASSERT_TRUE(TrySubmitThreadpoolCallback(&pause_briefly, nullptr, nullptr));
    }
    Sleep(20);
    int* volatile nowhere = nullptr;  // volatile: the write really happens
    *nowhere = 1;
    ADD_FAILURE() << "still running after a write through a null pointer";
}

}  // namespace
