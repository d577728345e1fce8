#include "Events.h"

#include <algorithm>

#include "Errors.h"

namespace QuilletPython {
namespace {

// The named tuple types, made at import and kept for the life of the process (never destroyed:
// the dispatcher may still hold events while the interpreter exits).
py::object* eventType = nullptr;
py::object* syncPointType = nullptr;
py::object* logLineType = nullptr;

// The Python log handler; changed with the interpreter lock held, read by OnLogLine.
std::mutex logLock;
std::shared_ptr<Listener> logListener; // guarded by logLock

int PythonLevel(int level)
{
    return level <= QUILLET_LOG_ERROR ? 40 : level == QUILLET_LOG_WARNING ? 30 : level == QUILLET_LOG_INFO ? 20 : 10;
}

int LibraryLevel(int pythonLevel)
{
    return pythonLevel >= 40 ? QUILLET_LOG_ERROR
           : pythonLevel >= 30 ? QUILLET_LOG_WARNING
           : pythonLevel >= 20 ? QUILLET_LOG_INFO
                               : QUILLET_LOG_DEBUG;
}

void OnLogLine(void*, const quillet_log_line* line)
{
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard<std::mutex> guard(logLock);
        listener = logListener;
    }
    if (listener)
        Dispatcher::Instance().Post(std::move(listener),
                                    LogCopy{PythonLevel(line->level), line->category, line->text, line->time_us});
}

void ReleaseListener(std::shared_ptr<Listener> old)
{
    if (old && old->callback)
        Py_DECREF(std::exchange(old->callback, nullptr));
}

const char* KindName(int type)
{
    switch (type) {
    case QUILLET_EVENT_MESSAGE: return "message";
    case QUILLET_EVENT_SYNC_POINT: return "sync_point";
    case QUILLET_EVENT_CONNECTION_STATUS: return "connection";
    case QUILLET_EVENT_PUBLISHING_STATUS: return "publishing";
    case QUILLET_EVENT_MISSED_PICTURES: return "missed_pictures";
    default: return "none";
    }
}

const char* CodeName(int type, int code)
{
    static const char* const messages[] = {"no error",      "file sink error",  "source error",  "camera error",
                                           "end of stream", "sync point ready", "stream refused",
                                           "recording fell behind"};
    static const char* const connections[] = {"connected", "disconnected", "connection lost"};
    static const char* const publishing[] = {"connecting", "publishing", "retrying", "finished", "failed", "stopped"};
    auto pick = [code](const char* const* names, int count) { return code >= 0 && code < count ? names[code] : ""; };
    switch (type) {
    case QUILLET_EVENT_MESSAGE: return pick(messages, 8);
    case QUILLET_EVENT_CONNECTION_STATUS: return pick(connections, 3);
    case QUILLET_EVENT_PUBLISHING_STATUS: return pick(publishing, 6);
    case QUILLET_EVENT_SYNC_POINT: return "sync point";
    case QUILLET_EVENT_MISSED_PICTURES: return "missed pictures";
    default: return "";
    }
}

// Seconds since 1970 as a timezone-aware UTC datetime.
py::object UtcDateTime(int64_t ticks)
{
    py::module_ datetime = py::module_::import("datetime");
    return datetime.attr("datetime").attr("fromtimestamp")(static_cast<double>(ticks) / 1e7,
                                                          datetime.attr("timezone").attr("utc"));
}

} // namespace

EventCopy EventCopy::From(const quillet_event& e)
{
    EventCopy c;
    c.type = e.type;
    c.code = e.code;
    c.text = e.text ? e.text : "";
    c.url = e.url ? e.url : "";
    c.videoTime = e.video_time;
    c.pcTime = e.pc_time;
    c.isGood = e.is_good != 0;
    c.missed = e.missed;
    c.missedTotal = e.missed_total;
    c.dropped = e.dropped;
    return c;
}

void RegisterEventTypes(py::module_& m)
{
    py::object namedTuple = py::module_::import("collections").attr("namedtuple");
    eventType = new py::object(namedTuple(
        "Event", py::make_tuple("kind", "code", "name", "text", "url", "video_time", "pc_time", "is_good", "missed",
                                "missed_total", "dropped")));
    syncPointType = new py::object(namedTuple("SyncPoint", py::make_tuple("file", "video_time", "pc_time", "is_good")));
    logLineType =
        new py::object(namedTuple("LogLine", py::make_tuple("level", "category", "text", "time", "dropped")));
    for (py::object* type : {eventType, syncPointType, logLineType})
        type->attr("__module__") = "quillet";
    m.attr("Event") = *eventType;
    m.attr("SyncPoint") = *syncPointType;
    m.attr("LogLine") = *logLineType;
}

py::object ToPython(const EventCopy& e)
{
    return (*eventType)(KindName(e.type), e.code, CodeName(e.type, e.code), e.text, e.url, e.videoTime,
                        static_cast<double>(e.pcTime) / 1e7, e.isGood, e.missed, e.missedTotal, e.dropped);
}

py::object SyncPointToPython(const EventCopy& e)
{
    return (*syncPointType)(e.text, e.videoTime, UtcDateTime(e.pcTime), e.isGood);
}

// ---------------------------------------------------------------------------

Dispatcher& Dispatcher::Instance()
{
    static Dispatcher* instance = new Dispatcher(); // outlives every handle
    return *instance;
}

py::object ToPython(const LogCopy& line)
{
    return (*logLineType)(line.level, line.category, line.text, static_cast<double>(line.timeUs) / 1e6,
                          line.dropped);
}

void Dispatcher::Post(std::shared_ptr<Listener> listener, std::variant<EventCopy, LogCopy> event)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_stopping || !_started)
            return;
        if (std::holds_alternative<LogCopy>(event) && ++_queuedLogLines > kMostQueuedLogLines) {
            // The handler is slower than the log: the oldest waiting line goes.
            const auto oldest = std::find_if(_queue.begin(), _queue.end(),
                                             [](const auto& item) { return std::holds_alternative<LogCopy>(item.second); });
            if (oldest != _queue.end()) {
                _queue.erase(oldest);
                --_queuedLogLines;
                ++_droppedLogLines;
            }
        }
        _queue.emplace_back(std::move(listener), std::move(event));
    }
    _wake.notify_one();
}

void Dispatcher::EnsureStarted()
{
    std::lock_guard<std::mutex> guard(_lock);
    if (_started || _stopping)
        return;
    _started = true;
    _thread = std::thread([this] { Run(); });
}

void Dispatcher::Stop()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = true;
        _queue.clear();
        _queuedLogLines = 0;
    }
    _wake.notify_all();
    if (_thread.joinable()) {
        py::gil_scoped_release released; // the thread may be waiting for the interpreter lock
        _thread.join();
    }
}

void Dispatcher::Run()
{
    for (;;) {
        std::pair<std::shared_ptr<Listener>, std::variant<EventCopy, LogCopy>> item;
        {
            std::unique_lock<std::mutex> guard(_lock);
            _wake.wait(guard, [this] { return _stopping || !_queue.empty(); });
            if (_stopping)
                return;
            item = std::move(_queue.front());
            _queue.pop_front();
            if (auto* line = std::get_if<LogCopy>(&item.second)) {
                --_queuedLogLines;
                line->dropped = std::exchange(_droppedLogLines, 0);
            }
        }
        py::gil_scoped_acquire locked;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (_stopping)
                return;
        }
        PyObject* callback = item.first->callback;
        if (!callback)
            continue;
        try {
            py::object keep = py::reinterpret_borrow<py::object>(callback);
            keep(std::visit([](const auto& e) { return ToPython(e); }, item.second));
        } catch (py::error_already_set& error) {
            // A failing callback must not end the dispatcher: report it as Python reports
            // exceptions nobody can catch.
            error.discard_as_unraisable("quillet event or log callback");
        }
        item.first.reset(); // with the interpreter lock held, like every change of a listener
    }
}

// ---------------------------------------------------------------------------

void EventState::OnEvent(void* user, const quillet_event* event)
{
    auto* self = static_cast<EventState*>(user);
    EventCopy copy = EventCopy::From(*event);
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard<std::mutex> guard(self->_lock);
        if (copy.type == QUILLET_EVENT_MESSAGE &&
            (copy.code == QUILLET_MESSAGE_SOURCE_ERROR || copy.code == QUILLET_MESSAGE_RTSP_SOURCE_ERROR))
            self->_failure = copy.code == QUILLET_MESSAGE_SOURCE_ERROR ? "reading the source failed"
                                                                       : "the camera connection failed";
        if (copy.type == QUILLET_EVENT_CONNECTION_STATUS)
            self->_connection = copy.code;
        if (copy.type == QUILLET_EVENT_SYNC_POINT)
            self->_syncPoints.push_back(copy);
        listener = self->_listener;
    }
    if (listener)
        Dispatcher::Instance().Post(std::move(listener), std::move(copy));
}

std::string EventState::SourceFailure()
{
    std::lock_guard<std::mutex> guard(_lock);
    return _failure;
}

void EventState::Reset()
{
    std::lock_guard<std::mutex> guard(_lock);
    _failure.clear();
    _connection = -1;
}

int EventState::Connection()
{
    std::lock_guard<std::mutex> guard(_lock);
    return _connection;
}

std::vector<EventCopy> EventState::TakeSyncPoints()
{
    std::lock_guard<std::mutex> guard(_lock);
    return std::exchange(_syncPoints, {});
}

void EventState::SetCallback(py::object callback)
{
    CallableOrNone(callback, "the event callback");
    std::shared_ptr<Listener> fresh;
    if (!callback.is_none()) {
        Dispatcher::Instance().EnsureStarted();
        fresh = std::make_shared<Listener>();
        fresh->callback = callback.release().ptr();
    }
    std::shared_ptr<Listener> old;
    {
        std::lock_guard<std::mutex> guard(_lock);
        old = std::exchange(_listener, fresh);
    }
    ReleaseListener(std::move(old));
}

// ---------------------------------------------------------------------------

void SetLogHandler(py::object handler, int level)
{
    CallableOrNone(handler, "the log handler");
    std::shared_ptr<Listener> fresh;
    if (!handler.is_none()) {
        Dispatcher::Instance().EnsureStarted();
        fresh = std::make_shared<Listener>();
        fresh->callback = handler.release().ptr();
    }
    {
        // Stopping waits for a line being handed over, which never needs the interpreter lock.
        py::gil_scoped_release released;
        if (fresh)
            quillet_set_log_callback(OnLogLine, nullptr, LibraryLevel(level));
        else
            quillet_set_log_callback(nullptr, nullptr, QUILLET_LOG_WARNING);
    }
    std::shared_ptr<Listener> old;
    {
        std::lock_guard<std::mutex> guard(logLock);
        old = std::exchange(logListener, fresh);
    }
    ReleaseListener(std::move(old));
}

void StopLogHandler()
{
    SetLogHandler(py::none(), 0);
}

} // namespace QuilletPython
