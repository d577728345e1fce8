#pragma once
// The handles the C interface handed out and not yet destroyed. Every call
// looks its handle up here, so a NULL, unknown or destroyed handle is an
// error and never a dereference, and holds the shared pointer it finds for
// the call's duration, so a destroy on another thread never frees an object
// a call is still using.
//
// Threads: any. `_lock` guards `_live`; nothing else is locked under it and
// no object is destroyed under it (Take hands the last reference out).
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Quillet::CApi {

template <class T>
class HandleRegistry {
public:
    // Registers `object`; its address is the handle.
    void Add(const std::shared_ptr<T>& object)
    {
        std::lock_guard<std::mutex> guard(_lock);
        _live.emplace(object.get(), object);
    }
    // The object behind `handle`, or null.
    std::shared_ptr<T> Find(const void* handle) const
    {
        if (!handle)
            return nullptr;
        std::lock_guard<std::mutex> guard(_lock);
        const auto it = _live.find(handle);
        return it == _live.end() ? nullptr : it->second;
    }
    // Unregisters `handle` and hands its reference to the caller (null when unknown).
    std::shared_ptr<T> Take(const void* handle)
    {
        if (!handle)
            return nullptr;
        std::lock_guard<std::mutex> guard(_lock);
        const auto it = _live.find(handle);
        if (it == _live.end())
            return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        _live.erase(it);
        return object;
    }

private:
    mutable std::mutex _lock;
    std::unordered_map<const void*, std::shared_ptr<T>> _live;
};

} // namespace Quillet::CApi
