#pragma once
// Events of one handle, as Python sees them, and the module's dispatcher
// thread that runs Python callbacks.
//
// Threads:
// - EventState::OnEvent is the C interface's event callback: it runs on
//   whichever library thread reports the event (the source's read thread, the
//   recording's write thread, an application thread inside a read). It never
//   touches Python: it copies the event, updates the state under `_lock` and
//   hands the copy to the Dispatcher when a Python callback is set.
// - OnLogLine, the C interface's log callback, runs on whichever thread logs
//   (FFmpeg's threads too); like OnEvent it only copies the line and posts it.
// - The Dispatcher's one thread takes the interpreter lock and calls the
//   callbacks in the order the events came. It stops at interpreter exit
//   (atexit), before the interpreter is torn down.
// - Everything else runs on Python threads holding the interpreter lock.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <pybind11/pybind11.h>

#include <quillet/quillet.h>

namespace QuilletPython {

namespace py = pybind11;

/// One event, copied out of the library's storage.
struct EventCopy {
    int type = QUILLET_EVENT_NONE;
    int code = 0;
    std::string text;
    std::string url;
    double videoTime = 0.0;
    int64_t pcTime = 0;
    bool isGood = false;
    uint64_t missed = 0;
    uint64_t missedTotal = 0;
    uint64_t dropped = 0;

    static EventCopy From(const quillet_event& e);
};

/// One log line, copied out of the library's storage; `level` is Python logging's number.
struct LogCopy {
    int level = 0;
    std::string category;
    std::string text;
    int64_t timeUs = 0;
    // Lines dropped just before this one (the handler fell behind the log).
    uint64_t dropped = 0;
};

/// quillet.Event (a named tuple) for `e`.
py::object ToPython(const EventCopy& e);
/// quillet.SyncPoint (a named tuple) for a sync point event.
py::object SyncPointToPython(const EventCopy& e);
/// Makes the named tuple types; once, at import.
void RegisterEventTypes(py::module_& m);

/// The Python callback of one handle: a strong reference, changed and called with the
/// interpreter lock held only. Queued events share the slot, so a callback cleared meanwhile is
/// simply not called.
struct Listener {
    PyObject* callback = nullptr;
};

/// One thread of the module's own that calls Python event callbacks. Log lines wait for it
/// at most kMostQueuedLogLines at a time: past that the oldest waiting line goes, and the next
/// line handed to Python says how many went (LogLine.dropped), as the C event queue does.
class Dispatcher {
public:
    static constexpr size_t kMostQueuedLogLines = 1000;

    static Dispatcher& Instance();
    /// Queues `event` (or a log line) for `listener`. Any thread; never touches Python.
    void Post(std::shared_ptr<Listener> listener, std::variant<EventCopy, LogCopy> event);
    /// Starts the thread if it is not running. Interpreter lock held.
    void EnsureStarted();
    /// Ends the thread, dropping events not yet delivered. Interpreter lock held (released while
    /// joining).
    void Stop();

private:
    void Run();

    std::mutex _lock; // guards _queue, _queuedLogLines, _droppedLogLines, _stopping, _started
    std::condition_variable _wake;
    std::deque<std::pair<std::shared_ptr<Listener>, std::variant<EventCopy, LogCopy>>> _queue;
    size_t _queuedLogLines = 0;
    uint64_t _droppedLogLines = 0;
    bool _stopping = false;
    bool _started = false;
    std::thread _thread;
};

/// quillet.set_log_handler: sends the library's log lines of Python logging `level` or more
/// severe to `handler` on the dispatcher thread; None stops. Interpreter lock held.
void SetLogHandler(py::object handler, int level);
/// Stops the log lines before the interpreter goes. Interpreter lock held.
void StopLogHandler();

/// What a handle's event callback learnt: the facts a read loop needs, the sync points of a
/// recording, and where to send events for a Python callback.
class EventState {
public:
    /// The C interface's callback; `user` is the EventState.
    static void OnEvent(void* user, const quillet_event* event);

    /// Why the source was closed by an error, or "" (the reason stays until Reset).
    std::string SourceFailure();
    /// Forgets the source failure (a new open).
    void Reset();
    /// The connection status last reported (a quillet_connection_status), -1 before any.
    int Connection();
    /// Takes the sync points reported so far.
    std::vector<EventCopy> TakeSyncPoints();
    /// Sets (or with None clears) the Python callback. Interpreter lock held.
    void SetCallback(py::object callback);

private:
    std::mutex _lock; // guards every field below
    std::string _failure;
    int _connection = -1;
    std::vector<EventCopy> _syncPoints;
    std::shared_ptr<Listener> _listener;
};

} // namespace QuilletPython
