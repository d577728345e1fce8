#pragma once
// The handles the C interface handed out and not yet destroyed. Every call
// looks its handle up here, so a NULL, unknown or destroyed handle is an
// error and never a dereference, and holds the shared pointer it finds for
// the call's duration, so a destroy on another thread never frees an object
// a call is still using.
//
// A handle is not the object's address but a serial number of the process,
// counted up for every handle of every kind and never given twice: an
// application that keeps a destroyed handle and calls it after a new object
// took the old one's memory reaches nothing (QUILLET_ERROR_INVALID_HANDLE),
// and a client handle is never taken for a player. (With 64-bit pointers the
// count cannot run out; with 32-bit ones it would after 2^32 handles.)
//
// Threads: any. `_lock` guards `_live`; nothing else is locked under it and
// no object is destroyed under it (Take hands the last reference out). The
// serial counter is atomic.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Quillet::CApi {

// The next handle value, unique in the process across all registries.
inline uintptr_t NextHandleValue()
{
    static std::atomic<uintptr_t> serial{0};
    return ++serial;
}

// Registers objects of type T under handles of the C type `Handle` (an
// incomplete struct of quillet.h).
template <class T, class Handle>
class HandleRegistry {
public:
    // Registers `object` under a handle never given before, and returns that handle.
    Handle* Add(std::shared_ptr<T> object)
    {
        const uintptr_t value = NextHandleValue();
        std::lock_guard<std::mutex> guard(_lock);
        _live.emplace(value, std::move(object));
        return reinterpret_cast<Handle*>(value);
    }
    // The object behind `handle`, or null.
    std::shared_ptr<T> Find(const Handle* handle) const
    {
        if (!handle)
            return nullptr;
        std::lock_guard<std::mutex> guard(_lock);
        const auto it = _live.find(reinterpret_cast<uintptr_t>(handle));
        return it == _live.end() ? nullptr : it->second;
    }
    // Unregisters `handle` and hands its reference to the caller (null when unknown).
    std::shared_ptr<T> Take(const Handle* handle)
    {
        if (!handle)
            return nullptr;
        std::lock_guard<std::mutex> guard(_lock);
        const auto it = _live.find(reinterpret_cast<uintptr_t>(handle));
        if (it == _live.end())
            return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        _live.erase(it);
        return object;
    }

private:
    mutable std::mutex _lock;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> _live;
};

} // namespace Quillet::CApi
