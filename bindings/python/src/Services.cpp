#include "Services.h"
#include "Waiting.h"

#include <pybind11/stl.h>

namespace QuilletPython {

void Recorder::Save(const std::string& file)
{
    Run("save", [&](quillet_player* h) { return quillet_recorder_save(h, CText(file, "file")); });
}

void Recorder::Split(const std::string& file)
{
    Run("split", [&](quillet_player* h) { return quillet_recorder_split(h, CText(file, "file")); });
}

void Recorder::Stop()
{
    Run("stop", [](quillet_player* h) { return quillet_recorder_stop(h); });
}

void Recorder::SetSegments(double seconds, const std::string& namePattern, int64_t keepBytes, double keepHours)
{
    quillet_recording_settings settings{};
    quillet_recording_settings_init(&settings);
    settings.segment_seconds = seconds;
    settings.name_pattern = CText(namePattern, "name_pattern");
    settings.keep_bytes = keepBytes;
    settings.keep_seconds = keepHours * 3600.0;
    Run("set_segments", [&](quillet_player* h) { return quillet_recorder_set_settings(h, &settings); });
}

std::pair<bool, bool> Recorder::Saving()
{
    int saving = 0, pending = 0;
    Run("is_saving", [&](quillet_player* h) { return quillet_recorder_is_saving(h, &saving, &pending); });
    return {saving != 0, pending != 0};
}

py::list Recorder::SyncPoints()
{
    py::list points;
    for (const EventCopy& e : TakeSyncPoints())
        points.append(SyncPointToPython(e));
    return points;
}

// ---------------------------------------------------------------------------

py::object Client::NextBatch(std::optional<double> timeout)
{
    const auto deadline = Deadline(timeout);
    for (bool first = true;; first = false) {
        const int slice = NextSlice(deadline, first);
        if (slice < 0)
            return py::none();
        quillet_client* client = _client;
        if (!client)
            Raise(Errors().closed, "the client is closed");
        quillet_batch* batch = nullptr;
        int status;
        {
            py::gil_scoped_release released;
            status = quillet_client_wait_batch(client, &batch, slice);
        }
        if (status == QUILLET_OK) {
            py::bytes bytes(reinterpret_cast<const char*>(quillet_batch_data(batch)), quillet_batch_size(batch));
            quillet_batch_free(batch);
            return bytes;
        }
        if (status == QUILLET_END)
            Raise(Errors().end, "the server is gone");
        if (!_client)
            Raise(Errors().closed, "the client was closed while waiting");
        if (status != QUILLET_AGAIN)
            Check(status, "next_batch");
        CheckSignals();
        if (slice == 0)
            return py::none();
    }
}

void Client::Close()
{
    if (quillet_client* client = std::exchange(_client, nullptr))
        quillet_client_destroy(client);
}

// ---------------------------------------------------------------------------

Server::Server(const std::string& source, bool live) : Recorder(live ? QUILLET_KIND_LIVE_SERVER : QUILLET_KIND_PLAY_SERVER)
{
    Run("set_source", [&](quillet_player* h) { return quillet_server_set_source(h, CText(source, "source")); });
}

std::unique_ptr<Client> Server::AddClient()
{
    quillet_client* client = nullptr;
    quillet_player* handle = Handle();
    int status;
    std::string reason;
    {
        py::gil_scoped_release released;
        status = quillet_server_add_client(handle, &client);
        const char* text = nullptr;
        if (status == QUILLET_ERROR_OPEN_FAILED && quillet_player_get_open_failure(handle, &text) == QUILLET_OK && text)
            reason = text;
    }
    if (status == QUILLET_ERROR_OPEN_FAILED)
        RaiseOpenError(Source(), reason.empty() ? "failed" : reason);
    Check(status, "add_client");
    return std::make_unique<Client>(client);
}

void Server::SetBatchRecords(unsigned records)
{
    Run("set_batch_records", [&](quillet_player* h) { return quillet_server_set_batch_records(h, records); });
}

unsigned Server::BatchRecords()
{
    unsigned records = 0;
    Run("get_batch_records", [&](quillet_player* h) { return quillet_server_get_batch_records(h, &records); });
    return records;
}

// ---------------------------------------------------------------------------

bool RemotePlayer::Write(py::buffer batch)
{
    py::buffer_info info = batch.request();
    const auto* data = static_cast<const uint8_t*>(info.ptr);
    const size_t size = static_cast<size_t>(info.size * info.itemsize);
    return Run("write", [&](quillet_player* h) { return quillet_remote_write(h, data, size); }) == QUILLET_OK;
}

// ---------------------------------------------------------------------------

void RegisterServices(py::module_& m)
{
    py::class_<Recorder, Player>(m, "Recorder", "A player that also records its source to container files.")
        .def(py::init([](const std::string& source, std::string pixelFormat, int threads, double timeout,
                         std::string live, bool audio, std::optional<std::string> user,
                         std::optional<std::string> password, bool tcp, std::optional<std::pair<int, int>> size,
                         std::optional<std::string> file,
                         double segment, const std::string& namePattern, int64_t keepBytes, double keepHours) {
                 auto recorder = std::make_unique<Recorder>();
                 Recorder* r = recorder.get();
                 recorder->Open(source,
                                OpenOptions{std::move(pixelFormat), threads, timeout, std::move(live), audio,
                                            std::move(user), std::move(password), tcp, size},
                                [&] {
                                    r->SetSegments(segment, namePattern, keepBytes, keepHours);
                                    if (file)
                                        r->Save(*file);
                                });
                 return recorder;
             }),
             QUILLET_OPEN_ARGS, py::arg("file") = py::none(), py::arg("segment") = 0.0,
             py::arg("name_pattern") = "", py::arg("keep_bytes") = 0, py::arg("keep_hours") = 0.0,
             "Opens and starts `source`; with `file`, records it from its first picture on, in files of "
             "`segment` seconds (0: one file) named by `name_pattern`, deleting the oldest beyond "
             "`keep_bytes` or `keep_hours` (0: kept).")
        .def("set_segments", &Recorder::SetSegments, py::arg("seconds"), py::arg("name_pattern") = "",
             py::arg("keep_bytes") = 0, py::arg("keep_hours") = 0.0,
             "Segments and retention for the recordings started afterwards.")
        .def("save", &Recorder::Save, py::arg("file"),
             "Starts recording to `file` from the next key picture (format from the extension).")
        .def("split", &Recorder::Split, py::arg("file"),
             "Ends the current file at the next key picture and continues in `file`.")
        .def("stop_recording", &Recorder::Stop, "Ends the recording; the file is finished on the write thread.")
        .def_property_readonly("recording", [](Recorder& r) { return r.Saving().first; })
        .def_property_readonly("recording_pending", [](Recorder& r) { return r.Saving().second; })
        .def("sync_points", &Recorder::SyncPoints, "The sync points reported since the last call.");

    py::class_<Client>(m, "Client", "One served client's queue of batches.")
        .def("next_batch", &Client::NextBatch, py::arg("timeout") = 0.0)
        .def("close", &Client::Close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Client& c, py::args) { c.Close(); });

    py::class_<Server, Recorder>(m, "Server", "Serves a camera (live) or a file at playback pace to clients.")
        .def(py::init([](const std::string& source, const std::string& kind) {
                 if (kind != "auto" && kind != "live" && kind != "playback")
                     throw py::value_error("kind must be \"auto\", \"live\" or \"playback\"");
                 const bool live = kind == "live" || (kind == "auto" && source.rfind("rtsp://", 0) == 0);
                 return std::make_unique<Server>(source, live);
             }),
             py::arg("source"), py::kw_only(), py::arg("kind") = "auto")
        .def("add_client", &Server::AddClient, "A new client; the first opens the source.")
        .def("start", [](Server& s) { s.Run("start", [](quillet_player* h) { return quillet_player_start(h); }); })
        .def_property("batch_records", &Server::BatchRecords, &Server::SetBatchRecords);

    py::class_<RemotePlayer, Player>(m, "RemotePlayer", "Plays the batches a server's client hands out.")
        .def(py::init([](const std::string& pixelFormat, bool audio) {
                 auto remote = std::make_unique<RemotePlayer>();
                 remote->Prepare(pixelFormat, audio);
                 return remote;
             }),
             py::kw_only(), py::arg("pixel_format") = "bgr24", py::arg("audio") = false)
        .def("write", &RemotePlayer::Write, py::arg("batch"),
             "Feeds one batch; False when the rest cannot be taken now (read pictures, offer it again).")
        .def("wait_for_seek",
             [](RemotePlayer& r, double seconds) {
                 int fresh = 0;
                 r.Run("wait_for_seek", [&](quillet_player* h) { return quillet_remote_wait_for_seek(h, seconds, &fresh); });
                 return fresh != 0;
             },
             py::arg("seconds"))
        .def("restart_batch",
             [](RemotePlayer& r) { r.Run("restart_batch", [](quillet_player* h) { return quillet_remote_restart_batch(h); }); });
}

} // namespace QuilletPython
