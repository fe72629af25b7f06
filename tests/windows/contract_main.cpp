// The contract tests' entry on Windows. A crash must fail the run: under Wine
// an unhandled exception starts the debugger, after which the process ends
// with whatever code it happens to get, 0 among them. The process ends here
// instead, with the exception's own code.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

namespace {

LONG WINAPI end_with_the_exception(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    // The crashed thread may hold the C runtime's stream locks: no stdio.
    char line[96];
    int length = std::snprintf(line, sizeof line, "unhandled exception 0x%08lx at %p\n", record.ExceptionCode,
                               record.ExceptionAddress);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), record.ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(&end_with_the_exception);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
