// fork(): every lock of the emulation is taken before the fork and released
// in both processes after it, so no lock another thread happened to hold is
// left held forever in the child. The child then lets go of what belongs to
// the parent: its worker threads, their queued requests, and its rings.
#include "platform/posix/emu.h"

#include <pthread.h>

#include <algorithm>

namespace kiln::platform::emu {

std::atomic<unsigned> g_fork_generation{0};

namespace {

struct Held {
    std::vector<std::shared_ptr<Object>> objects;
    std::vector<std::shared_ptr<Port>> ports;
    std::vector<File*> files;
    std::vector<Object*> threads;
};

Held* g_held = nullptr;

// The ports of the table and those its files are associated with.
std::vector<std::shared_ptr<Port>> ports_of(const std::vector<std::shared_ptr<Object>>& objects) {
    std::vector<std::shared_ptr<Port>> ports;
    for (const auto& object : objects) {
        if (object->kind() == Kind::Port) ports.push_back(std::static_pointer_cast<Port>(object));
        if (object->kind() == Kind::File) {
            if (auto port = static_cast<File&>(*object).port()) ports.push_back(std::move(port));
        }
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

// Order: the table, the engine choice, the workers, then each port's locks,
// each file's and each thread's. No thread takes them in another order, and
// none holds one while it blocks.
void before_fork() {
    auto* held = new Held;
    handle_table_mutex().lock();
    held->objects = handle_snapshot_locked();
    held->ports = ports_of(held->objects);
    for (const auto& object : held->objects) {
        if (object->kind() == Kind::File) held->files.push_back(static_cast<File*>(object.get()));
        if (object->kind() == Kind::Thread) held->threads.push_back(object.get());
    }
    engine_choice_mutex().lock();
    test_worker().lock_for_fork();
    pool().lock_for_fork();
    copy_lane().lock_for_fork();
    for (const auto& port : held->ports) port->lock_for_fork();
    for (File* file : held->files) file->lock_for_fork();
    for (Object* thread : held->threads) lock_thread_for_fork(*thread);
    g_held = held;
}

void unlock_all() {
    Held* held = g_held;
    for (Object* thread : held->threads) unlock_thread_after_fork(*thread);
    for (File* file : held->files) file->unlock_after_fork();
    for (const auto& port : held->ports) port->unlock_after_fork();
    copy_lane().unlock_after_fork();
    pool().unlock_after_fork();
    test_worker().unlock_after_fork();
    engine_choice_mutex().unlock();
    handle_table_mutex().unlock();
}

void release_held() {
    delete g_held;
    g_held = nullptr;
}

void after_fork_in_parent() {
    unlock_all();
    release_held();
}

void after_fork_in_child() {
    unlock_all();
    // From here on the rings made so far are the parent's: their ports fall
    // back to their packet queues, their files' I/O to the pool.
    g_fork_generation.fetch_add(1);
    for (const auto& port : g_held->ports) port->reset_in_child();
    for (Object* thread : g_held->threads) reset_thread_in_child(*thread);
    test_worker().reset_in_child();
    pool().reset_in_child();
    copy_lane().reset_in_child();
    release_held();
}

}  // namespace

void install_fork_handlers() {
    static const bool installed = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    (void)installed;
}

namespace {
// At load, before any thread of the emulation exists.
[[maybe_unused]] const bool g_fork_handlers = (install_fork_handlers(), true);
}  // namespace

}  // namespace kiln::platform::emu
