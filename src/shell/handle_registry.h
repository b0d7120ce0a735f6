// Handles of the line API (lines, stores) as numbers that are never given
// again: a stale handle - closed twice, or used after its close - finds
// nothing (TALVO_E_CLOSED) instead of freed memory or another object that
// happens to live at the same address.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace talvo {

template <class Entry, class Handle>
class HandleRegistry {
public:
    std::uintptr_t Add(std::shared_ptr<Entry> entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uintptr_t id = next_++;
        entries_.emplace(id, std::move(entry));
        return id;
    }
    std::shared_ptr<Entry> Find(const Handle* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == entries_.end() ? nullptr : it->second;
    }
    std::shared_ptr<Entry> Remove(const Handle* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == entries_.end()) return nullptr;
        std::shared_ptr<Entry> entry = std::move(it->second);
        entries_.erase(it);
        return entry;
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Entry>> entries_;
    std::uintptr_t next_ = 1;
};

}  // namespace talvo
