// The process-wide handle table: small multiples of 4, lowest free first.
#include "platform/posix/emu.h"

#include <algorithm>
#include <set>
#include <utility>

namespace kiln::platform::emu {
namespace {

class HandleTable {
public:
    Handle insert(std::shared_ptr<Object> object) {
        std::lock_guard lock(mutex);
        std::size_t slot = slots_.size();
        if (!free_.empty()) {
            slot = *free_.begin();
            free_.erase(free_.begin());
            slots_[slot] = std::move(object);
        } else {
            slots_.push_back(std::move(object));
        }
        return handle_of(slot);
    }

    std::shared_ptr<Object> find(Handle handle) {
        std::lock_guard lock(mutex);
        auto slot = slot_of(handle);
        return slot ? slots_[*slot] : nullptr;
    }

    std::shared_ptr<Object> remove(Handle handle) {
        std::lock_guard lock(mutex);
        auto slot = slot_of(handle);
        if (!slot || !slots_[*slot]) return nullptr;
        free_.insert(*slot);
        return std::exchange(slots_[*slot], nullptr);
    }

    bool remove_of(Handle handle, const Object* object) {
        std::shared_ptr<Object> removed;  // let go of after the lock
        std::lock_guard lock(mutex);
        auto slot = slot_of(handle);
        if (!slot || slots_[*slot].get() != object) return false;
        free_.insert(*slot);
        removed = std::exchange(slots_[*slot], nullptr);
        return true;
    }

    std::uint32_t count_io_objects() {
        std::lock_guard lock(mutex);
        auto is_io = [](const auto& object) { return object && object->kind() != Kind::Thread; };
        return static_cast<std::uint32_t>(std::count_if(slots_.begin(), slots_.end(), is_io));
    }

    std::vector<std::shared_ptr<Object>> snapshot_locked() const {
        std::vector<std::shared_ptr<Object>> objects;
        for (const auto& object : slots_) {
            if (object) objects.push_back(object);
        }
        return objects;
    }

    std::mutex mutex;

private:
    // Windows hands out multiples of 4 starting at 4; 0 and -1 stay invalid.
    static Handle handle_of(std::size_t slot) {
        return reinterpret_cast<Handle>(static_cast<std::intptr_t>((slot + 1) * 4));
    }

    std::optional<std::size_t> slot_of(Handle handle) const {
        auto value = reinterpret_cast<std::intptr_t>(handle);
        if (value <= 0 || value % 4 != 0) return std::nullopt;
        auto slot = static_cast<std::size_t>(value / 4 - 1);
        if (slot >= slots_.size()) return std::nullopt;
        return slot;
    }

    std::vector<std::shared_ptr<Object>> slots_;
    std::set<std::size_t> free_;
};

// Outlives static destruction on purpose: detached threads may still reach
// it at exit.
HandleTable& table() {
    static auto* instance = new HandleTable;
    return *instance;
}

}  // namespace

Handle insert_handle(std::shared_ptr<Object> object) { return table().insert(std::move(object)); }
std::shared_ptr<Object> find_handle(Handle handle) { return table().find(handle); }
std::shared_ptr<Object> remove_handle(Handle handle) { return table().remove(handle); }
bool remove_handle_of(Handle handle, const Object* object) { return object && table().remove_of(handle, object); }
std::uint32_t count_io_handles() { return table().count_io_objects(); }
std::vector<std::shared_ptr<Object>> handle_snapshot_locked() { return table().snapshot_locked(); }
std::mutex& handle_table_mutex() { return table().mutex; }

}  // namespace kiln::platform::emu
