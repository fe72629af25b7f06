// What the POSIX-only tests share: running a check in a forked child, a
// seccomp filter that refuses io_uring_enter, and counting the kernel's
// io_uring worker threads.
#pragma once

#include <dirent.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <fstream>
#include <string>

namespace posix {

// Runs `child` in a forked process, which starts without the parent's worker
// threads, rings and kernel workers; true when it returned true there. The
// child ends there whatever happens, never in the test runner's own code.
template <class Child>
bool in_child(Child child) {
    pid_t pid = ::fork();
    if (pid == 0) {
        bool passed = false;
        try {
            passed = child();
        } catch (...) {
        }
        ::_exit(passed ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#if defined(__x86_64__)
inline constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
inline constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
inline constexpr unsigned kAuditArch = 0;
#endif

// From now on this thread, and the threads it starts, get EPERM from
// io_uring_enter, as under a container's seccomp profile; rings can still be
// made. False where the machine refuses seccomp filters.
inline bool refuse_io_uring_enter() {
    if (kAuditArch == 0) return false;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// Whether a forked child may install the filter above.
inline bool seccomp_available() {
    return in_child([] { return refuse_io_uring_enter(); });
}

// The kernel's io_uring workers of this process, named iou-wrk-<tid>.
inline int kernel_workers() {
    int count = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return -1;
    while (dirent* task = ::readdir(tasks)) {
        std::string name;
        std::getline(std::ifstream(std::string("/proc/self/task/") + task->d_name + "/comm"), name);
        count += name.rfind("iou-wrk", 0) == 0;
    }
    ::closedir(tasks);
    return count;
}

}  // namespace posix
