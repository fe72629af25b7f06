// Worker threads doing pread/pwrite and feeding the port's packet queue: one
// thread in issue order for the deferred and held test modes, a small pool
// for the system engine when io_uring is not available.
#include "platform/posix/emu.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <system_error>
#include <thread>

namespace kiln::platform::emu {

void Workers::submit(IoRequest request) {
    {
        std::lock_guard lock(mutex_);
        start_threads();
        queue_.push_back(std::move(request));
    }
    changed_->notify_all();
}

void Workers::release_held() {
    {
        std::lock_guard lock(mutex_);
        for (auto& request : queue_) request.held = false;
    }
    changed_->notify_all();
}

std::size_t Workers::cancel(std::uint64_t file_id, const Overlapped* overlapped) {
    std::vector<IoRequest> cancelled;
    std::size_t running = 0;
    {
        std::lock_guard lock(mutex_);
        auto matches = [&](std::uint64_t id, const Overlapped* candidate) {
            return id == file_id && (!overlapped || candidate == overlapped);
        };
        auto queued = [&](const IoRequest& request) { return matches(request.file->id(), request.overlapped); };
        auto first = std::stable_partition(queue_.begin(), queue_.end(), std::not_fn(queued));
        std::move(first, queue_.end(), std::back_inserter(cancelled));
        queue_.erase(first, queue_.end());
        running = std::count_if(running_.begin(), running_.end(),
                                [&](const Running& r) { return matches(r.file_id, r.overlapped); });
    }
    changed_->notify_all();
    for (const auto& request : cancelled) complete(request, {kStatusCancelled, 0});
    return cancelled.size() + running;
}

void Workers::reset_in_child() {
    std::deque<IoRequest> parents;
    {
        std::lock_guard lock(mutex_);
        parents.swap(queue_);
        running_.clear();
        started_ = 0;
        announced_.store(0);
        static_cast<void>(changed_.release());
        changed_ = std::make_unique<std::condition_variable>();
    }
    // The records belong to the parent's operations; the child lets them go.
}

void Workers::start_threads() {
    for (; started_ < threads_; ++started_) {
        try {
            std::thread([this] {
                announced_.fetch_add(1);
                announced_.notify_all();
                run();
            }).detach();
        } catch (const std::system_error&) {
            // Fewer threads is slower, not wrong; none is handled by the next submit.
            if (started_ == 0) throw;
            break;
        }
    }
    // A thread is fully made before the caller goes on: a fork while one is
    // half made would copy locks it holds in the allocator, which glibc's
    // malloc guards at fork and AddressSanitizer's does not.
    for (unsigned seen; (seen = announced_.load()) < started_;) announced_.wait(seen);
}

void Workers::run() {
    for (;;) {
        IoRequest request = next();
        IoResult result = perform(request);
        {
            // Finished before its packet goes out: a cancel that follows the
            // packet finds nothing, as on Windows.
            std::lock_guard lock(mutex_);
            auto same = [&](const Running& r) {
                return r.file_id == request.file->id() && r.overlapped == request.overlapped;
            };
            auto found = std::find_if(running_.begin(), running_.end(), same);
            if (found != running_.end()) running_.erase(found);
        }
        complete(request, result);
    }
}

IoRequest Workers::next() {
    std::unique_lock lock(mutex_);
    // The single test worker keeps issue order, so a held request blocks the
    // ones behind it; the pool never holds.
    changed_->wait(lock, [this] { return !queue_.empty() && !queue_.front().held; });
    IoRequest request = std::move(queue_.front());
    queue_.pop_front();
    running_.push_back({request.file->id(), request.overlapped});
    return request;
}

// Both outlive static destruction on purpose: their detached threads may
// still run at exit.
Workers& test_worker() {
    static auto* instance = new Workers(1);
    return *instance;
}

// A few threads: two at least, so one slow transfer does not hold up the
// rest, and otherwise no more than half the cores, which the event loop
// needs too.
Workers& pool() {
    static auto* instance = new Workers(std::clamp(std::thread::hardware_concurrency() / 2, 2u, 4u));
    return *instance;
}

}  // namespace kiln::platform::emu
