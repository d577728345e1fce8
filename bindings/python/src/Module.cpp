// The compiled part of the quillet package: the C interface's handles as
// Python classes (see Player.h, Services.h), exceptions and event types.
#include <pybind11/stl.h>

#include "Player.h"
#include "Services.h"

namespace QuilletPython {

void RegisterBuffer(py::module_& m);
void RegisterThumbnails(py::module_& m);

namespace {

py::object PublishingStatuses(Player& p)
{
    std::vector<quillet_publishing_status> statuses(8);
    size_t count = 0;
    for (;;) {
        const int status = p.Run("get_publishing_status", [&](quillet_player* h) {
            const int s = quillet_player_get_publishing_status(h, statuses.data(), statuses.size(), &count);
            return s == QUILLET_ERROR_BUFFER_TOO_SMALL ? QUILLET_AGAIN : s;
        });
        if (status == QUILLET_OK)
            break;
        statuses.resize(count);
    }
    static const char* const states[] = {"connecting", "publishing", "retrying", "finished", "failed", "stopped"};
    py::object type = py::module_::import("quillet._quillet").attr("PublishingStatus");
    py::list list;
    for (size_t i = 0; i < count && i < statuses.size(); ++i) {
        const quillet_publishing_status& s = statuses[i];
        list.append(type(s.url ? s.url : "", s.state >= 0 && s.state < 6 ? states[s.state] : "", s.bytes, s.packets,
                         s.queued, s.reconnects, s.last_error ? s.last_error : ""));
    }
    return list;
}

template <typename Value>
Value Get(Player& p, const char* what, int (*get)(quillet_player*, Value*))
{
    Value value{};
    p.Run(what, [&](quillet_player* h) { return get(h, &value); });
    return value;
}

void Do(Player& p, const char* what, int (*call)(quillet_player*))
{
    p.Run(what, call);
}

std::unique_ptr<Player> OpenPlayer(const std::string& source, std::string pixelFormat, int threads, double timeout,
                                   std::string live, bool audio, std::optional<std::string> user,
                                   std::optional<std::string> password, bool tcp,
                                   std::optional<std::pair<int, int>> size)
{
    auto player = std::make_unique<Player>(QUILLET_KIND_PLAYER);
    player->Open(source, OpenOptions{std::move(pixelFormat), threads, timeout, std::move(live), audio, std::move(user),
                                     std::move(password), tcp, size});
    return player;
}

/// Iterates pictures (or sound) of a player until the end of the stream.
struct PictureIterator {
    py::object owner; // keeps the player alive
    Player* player;
    std::optional<double> giveUp;
};
struct SoundIterator {
    py::object owner;
    Player* player;
};
struct EventIterator {
    py::object owner;
    Player* player;
    double timeout;
};

void RegisterPlayerClass(py::module_& m)
{
    py::class_<Picture>(m, "Picture", "One picture: its pixels as a NumPy array and its media time.")
        .def_readonly("array", &Picture::array, "height x width x 3 uint8, in the pixel format asked for")
        .def_readonly("time", &Picture::time, "the picture's media time in seconds")
        .def_readonly("first", &Picture::first, "True for the first picture after an open or a seek")
        .def_readonly("capture_time", &Picture::captureTime,
                      "when the camera captured the picture, seconds since 1970 UTC (None without one)")
        .def_readonly("capture_time_trusted", &Picture::captureTimeTrusted,
                      "True once capture_time follows the camera's RTCP sender reports")
        .def_readonly("buffer", &Picture::buffer, "the library buffer the array views (None for read(out=...))")
        .def("__repr__", [](const Picture& p) {
            py::tuple shape = p.array.attr("shape");
            return "<quillet.Picture " + py::str(shape).cast<std::string>() + " at " + std::to_string(p.time) + " s>";
        });

    py::class_<PictureIterator>(m, "PictureIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](PictureIterator& it) { return it.player->NextPicture(it.giveUp); });
    py::class_<SoundIterator>(m, "SoundIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](SoundIterator& it) { return it.player->NextSound(); });
    py::class_<EventIterator>(m, "EventIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](EventIterator& it) {
            py::object event = it.player->WaitEvent(it.timeout);
            if (event.is_none())
                throw py::stop_iteration();
            return event;
        });

    py::class_<Player>(m, "Player", "Plays a media file, a URL or an rtsp:// camera (see quillet.open).")
        .def(py::init([] { return std::make_unique<Player>(QUILLET_KIND_PLAYER); }),
             "A player with no source yet: open() it, perhaps while another thread may close() it.")
        .def(
            "open",
            [](Player& p, const std::string& source, std::string pixelFormat, int threads, double timeout,
               std::string live, bool audio, std::optional<std::string> user, std::optional<std::string> password,
               bool tcp, std::optional<std::pair<int, int>> size) {
                p.Open(source, OpenOptions{std::move(pixelFormat), threads, timeout, std::move(live), audio,
                                           std::move(user), std::move(password), tcp, size});
            },
            QUILLET_OPEN_ARGS, "Opens and starts a source (as quillet.open).")
        .def("close", &Player::Close, "Closes the source; ends reads and opens blocked on other threads.")
        .def_property_readonly("closed", &Player::Closed)
        .def_property_readonly("source", &Player::Source)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Player& p, py::args) { p.Close(); })
        .def("read", &Player::Read, py::kw_only(), py::arg("timeout") = py::none(), py::arg("out") = py::none())
        .def(
            "pictures",
            [](py::object self, std::optional<double> giveUp) {
                return PictureIterator{self, self.cast<Player*>(), giveUp};
            },
            py::kw_only(), py::arg("give_up") = py::none())
        .def("__iter__", [](py::object self) { return PictureIterator{self, self.cast<Player*>(), std::nullopt}; })
        .def("read_sound", &Player::ReadSound)
        .def("sound", [](py::object self) { return SoundIterator{self, self.cast<Player*>()}; })
        .def("wait_event", &Player::WaitEvent, py::arg("timeout") = py::none())
        .def(
            "events", [](py::object self, double timeout) { return EventIterator{self, self.cast<Player*>(), timeout}; },
            py::arg("timeout") = 0.0)
        .def("on_event", &Player::SetEventCallback, py::arg("callback"))
        .def("seek", [](Player& p, double t) { p.Run("seek", [t](quillet_player* h) { return quillet_player_seek(h, t); }); },
             py::arg("seconds"))
        .def(
            "set_picture_size",
            [](Player& p, int width, int height) {
                if (width < 0 || height < 0)
                    throw py::value_error("width and height must be 0 (follow the other) or more");
                p.Run("set_picture_size",
                      [=](quillet_player* h) { return quillet_player_set_picture_size(h, width, height); });
            },
            py::arg("width"), py::arg("height"),
            "Hands pictures out at this size from the next one on (0, 0: the coded size; one side 0 follows "
            "the other; both: fit inside with the display aspect ratio).")
        .def("pause", [](Player& p) { Do(p, "pause", quillet_player_pause); })
        .def("resume", [](Player& p) { Do(p, "resume", quillet_player_resume); })
        .def("flush", [](Player& p) { Do(p, "flush", quillet_player_flush); })
        .def_property_readonly("paused", [](Player& p) { return Get<int>(p, "is_paused", quillet_player_is_paused) != 0; })
        .def_property_readonly("duration", [](Player& p) { return Get<double>(p, "get_duration", quillet_player_get_duration); })
        .def_property_readonly("seek_time", [](Player& p) {
            const double t = Get<double>(p, "get_seek_time", quillet_player_get_seek_time);
            return t < 0 ? py::object(py::none()) : py::object(py::float_(t));
        })
        .def_property(
            "optimize_seek", [](Player& p) { return Get<int>(p, "get_optimize_seek", quillet_player_get_optimize_seek) != 0; },
            [](Player& p, bool on) {
                p.Run("set_optimize_seek", [on](quillet_player* h) { return quillet_player_set_optimize_seek(h, on); });
            })
        .def(
            "is_oob",
            [](Player& p, double t) {
                int oob = 0, pending = 0;
                p.Run("is_oob", [&](quillet_player* h) { return quillet_player_is_oob(h, t, &oob, &pending); });
                return std::make_pair(oob != 0, pending != 0);
            },
            py::arg("seconds"))
        .def_property_readonly("size", [](Player& p) {
            int w = -1, h = -1;
            p.Run("get_dimensions", [&](quillet_player* handle) { return quillet_player_get_dimensions(handle, &w, &h); });
            return std::make_pair(w, h);
        })
        .def_property_readonly("render_size", [](Player& p) {
            int w = -1, h = -1;
            p.Run("get_render_dimensions",
                  [&](quillet_player* handle) { return quillet_player_get_render_dimensions(handle, &w, &h); });
            return std::make_pair(w, h);
        })
        .def_property_readonly("threads",
                               [](Player& p) { return Get<int>(p, "get_decoding_threads", quillet_player_get_decoding_threads); })
        .def_property_readonly("missed_pictures", [](Player& p) {
            return Get<uint64_t>(p, "missed_pictures", quillet_player_missed_pictures);
        })
        .def_property_readonly("audio_format", [](Player& p) -> py::object {
            int rate = 0, bits = 0, channels = 0;
            quillet_player* h = p.Handle();
            if (quillet_player_get_audio_format(h, &rate, &bits, &channels) != QUILLET_OK)
                return py::none();
            return py::make_tuple(rate, channels);
        })
        .def_property_readonly("connection", [](Player& p) -> py::object {
            static const char* const names[] = {"connected", "disconnected", "connection lost"};
            const int c = p.Connection();
            return c >= 0 && c < 3 ? py::object(py::str(names[c])) : py::object(py::none());
        })
        .def(
            "publish",
            [](Player& p, const std::string& url) {
                p.Run("publish", [&](quillet_player* h) { return quillet_player_start_publishing(h, CText(url, "url")); });
            },
            py::arg("url"))
        .def(
            "stop_publishing",
            [](Player& p, const std::string& url) {
                p.Run("stop_publishing", [&](quillet_player* h) { return quillet_player_stop_publishing(h, CText(url, "url")); });
            },
            py::arg("url"))
        .def("publishing_status", &PublishingStatuses);

    m.def("open", &OpenPlayer, QUILLET_OPEN_ARGS,
          "Opens and starts a file, URL or rtsp:// camera; quillet.OpenError when it cannot be opened.");
    RegisterThumbnails(m);
}

} // namespace

} // namespace QuilletPython

PYBIND11_MODULE(_quillet, m)
{
    using namespace QuilletPython;
    m.doc() = "The compiled part of the quillet package, on the library's C interface.";
    // NumPy's C interface is looked up once, here: a first lookup from two reading threads at
    // once would wait on each other (one holds the interpreter lock, the other the lookup).
    py::module_::import("numpy");
    (void)py::dtype::of<uint8_t>();
    (void)py::dtype::of<int16_t>();
    RegisterErrors(m);
    RegisterEventTypes(m);
    py::object namedTuple = py::module_::import("collections").attr("namedtuple");
    m.attr("Sound") = namedTuple("Sound", py::make_tuple("samples", "time"), py::arg("module") = "quillet");
    m.attr("PublishingStatus") =
        namedTuple("PublishingStatus", py::make_tuple("url", "state", "bytes", "packets", "queued", "reconnects", "last_error"),
                   py::arg("module") = "quillet");
    RegisterBuffer(m);
    RegisterPlayerClass(m);
    RegisterServices(m);
    m.def("version", [] {
        const unsigned v = quillet_version();
        return std::make_pair(v >> 16, v & 0xffffu);
    });
    m.def("build_description", [] { return std::string(quillet_build_description()); });
    m.def("set_log_configuration", [](const std::string& path) {
        Check(quillet_set_log_configuration(CText(path, "path")), "set_log_configuration");
    });
    // The dispatcher thread ends before the interpreter is torn down.
    m.def("set_log_handler", &SetLogHandler, py::arg("handler"), py::arg("level") = 30,
          "Sends the library's and FFmpeg's log lines of Python logging `level` or more severe to\n"
          "`handler(LogLine)` on the module's dispatcher thread, never on a library thread; None stops.");
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        StopLogHandler();
        Dispatcher::Instance().Stop();
    }));
}
