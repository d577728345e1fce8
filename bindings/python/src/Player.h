#pragma once
// quillet.Player: one handle of the C interface (any kind) as a Python object.
//
// Threads: Python threads call every method; each method releases the
// interpreter lock around every call that may wait, decode or convert, so
// other Python threads run meanwhile and two players decode in parallel.
// `_handle` is atomic: Close (any thread) takes it out and destroys it, which
// ends a read, wait or open blocked on another thread within 100 ms; the
// blocked method then finds no handle and ends (StopIteration or
// quillet.Closed). The C interface serialises calls on one handle itself.
// Event callbacks of the library run on its threads and touch only
// EventState (see Events.h). `_sound` is used by the thread reading sound only.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <quillet/quillet.h>

#include "Errors.h"
#include "Events.h"

namespace QuilletPython {

namespace py = pybind11;

/// How a source is opened (the keyword arguments of quillet.open).
struct OpenOptions {
    std::string pixelFormat = "bgr24";
    int threads = 1;
    double timeout = 10.0;
    std::string live = "newest";
    bool audio = false;
    std::optional<std::string> user;
    std::optional<std::string> password;
    bool tcp = true;
    /// The size pictures are handed out at (quillet_player_set_picture_size); none: coded.
    std::optional<std::pair<int, int>> size;
};

/// A picture handed to Python: its pixels (a NumPy view) and its media time.
struct Picture {
    py::object array;
    double time = 0.0;
    bool first = false;
    py::object captureTime = py::none(); // seconds since 1970 UTC, None without one
    bool captureTimeTrusted = false;
    py::object buffer; // the library buffer the array views (None for read(out=...))
};

/// Sound handed over by the sink callbacks of one read (interleaved int16).
class SoundSink {
public:
    SoundSink();
    const quillet_audio_sink& Sink() const { return _sink; }
    /// Takes the bytes written since the last call.
    std::vector<uint8_t> Take() { return std::exchange(_collected, {}); }

private:
    static int WantsAudio(void* user);
    static int GetBuffers(void* user, quillet_audio_buffer* buffers, int capacity);
    static void SubmitBuffers(void* user, const quillet_audio_buffer* filled, int count);

    quillet_audio_sink _sink{};
    std::vector<std::vector<uint8_t>> _buffers;
    std::vector<uint8_t> _collected;
};

class Player {
public:
    /// A new handle of `kind` (a quillet_kind).
    explicit Player(int kind);
    virtual ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    /// The handle, or quillet.Closed once closed.
    quillet_player* Handle() const;
    bool Closed() const { return _handle.load() == nullptr; }
    /// Opens and starts `source`; quillet.OpenError when it cannot be opened. `beforeStart`
    /// runs once the source is open, before it starts (a recording that must not miss the start).
    void Open(const std::string& source, const OpenOptions& options, const std::function<void()>& beforeStart = {});
    /// Destroys the handle; ends reads and opens blocked on other threads. Idempotent.
    void Close();

    /// The next picture (zero-copy, or converted into `out`); None after `timeout` seconds
    /// (None: no limit); quillet.EndOfStream at the end; quillet.Closed once closed.
    py::object Read(std::optional<double> timeout, py::object out);
    /// The next picture for the iterator: StopIteration at the end or once closed;
    /// quillet.TimeoutError when none came for `giveUp` seconds; quillet.Error when the source
    /// was closed by an error.
    Picture NextPicture(std::optional<double> giveUp);
    /// Sound decoded now (never waits), as quillet.Sound, or None.
    py::object ReadSound();
    /// The next sound for the iterator: reads pictures while none is decoded.
    py::object NextSound();
    /// Events: the oldest queued one within `timeout` seconds, or None.
    py::object WaitEvent(std::optional<double> timeout);
    void SetEventCallback(py::object callback) { _events->SetCallback(std::move(callback)); }
    std::vector<EventCopy> TakeSyncPoints() { return _events->TakeSyncPoints(); }
    int Connection() { return _events->Connection(); }

    /// Calls `call(handle)` without the interpreter lock and checks its status.
    template <typename Call>
    int Run(const char* what, Call&& call)
    {
        quillet_player* handle = Handle();
        int status;
        {
            py::gil_scoped_release released;
            status = call(handle);
        }
        return Check(status, what);
    }

    const std::string& Source() const { return _source; }
    int Kind() const { return _kind; }
    /// Applies pixel format, audio sink and starts decoding, for remote players (which need no
    /// open) and after an open.
    void Prepare(const std::string& pixelFormat, bool audio, const std::function<void()>& beforeStart = {});

private:
    enum class Outcome { Picture, Again, End, Closed };
    // One read of at most `timeoutMs`, zero-copy or into `out`.
    Outcome ReadOnce(int timeoutMs, py::object out, Picture& picture);
    // Raises quillet.Error when the source was closed by an error.
    void CheckSourceFailure();

    int _kind;
    std::atomic<quillet_player*> _handle{nullptr};
    std::unique_ptr<EventState> _events;
    std::unique_ptr<SoundSink> _sound;
    int _channels = 0;
    std::string _source; // its password masked, for messages
};

/// quillet.Sound's named tuple type and the module registration of the player classes.
void RegisterPlayer(py::module_& m);

/// `url` as the library shows it: its password masked (quillet_url_for_log).
std::string UrlForMessages(const std::string& url);

} // namespace QuilletPython

/// The keyword arguments of quillet.open and quillet.Recorder, in OpenOptions' order.
#define QUILLET_OPEN_ARGS                                                                                        \
    py::arg("source"), py::kw_only(), py::arg("pixel_format") = "bgr24", py::arg("threads") = 1,                \
        py::arg("timeout") = 10.0, py::arg("live") = "newest", py::arg("audio") = false,                        \
        py::arg("user") = py::none(), py::arg("password") = py::none(), py::arg("tcp") = true,                \
        py::arg("size") = py::none()
