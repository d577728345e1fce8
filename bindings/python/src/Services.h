#pragma once
// quillet.Recorder, quillet.Server, quillet.Client and quillet.RemotePlayer:
// the recorder, server and remote kinds of handle, and a served client.
//
// Threads: as Player (see Player.h). A Client is used by one Python thread at
// a time (the C interface wants one thread per client); its handle is
// destroyed by Close or when Python drops it.
#include <optional>
#include <string>

#include "Player.h"

namespace QuilletPython {

class Recorder : public Player {
public:
    explicit Recorder(int kind = QUILLET_KIND_RECORDER) : Player(kind) {}
    void Save(const std::string& file);
    void Split(const std::string& file);
    void Stop();
    /// Segments and retention for the recordings started afterwards (0: one file, nothing deleted).
    void SetSegments(double seconds, const std::string& namePattern, int64_t keepBytes, double keepHours);
    /// (saving, pending): a file is written / a file name waits for its first key picture.
    std::pair<bool, bool> Saving();
    /// The sync points reported since the last call, as quillet.SyncPoint.
    py::list SyncPoints();
};

class Client {
public:
    explicit Client(quillet_client* client) : _client(client) {}
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    /// The next batch as bytes, None when none came within `timeout` seconds (0: never waits,
    /// None: without limit; the interpreter lock is released meanwhile); quillet.EndOfStream once
    /// the server is gone; quillet.Closed when close() ran on another thread meanwhile.
    py::object NextBatch(std::optional<double> timeout);
    void Close();

private:
    quillet_client* _client; // read and changed with the interpreter lock held
};

class Server : public Recorder {
public:
    Server(const std::string& source, bool live);
    /// A new client; the first opens the source (quillet.OpenError when it cannot).
    std::unique_ptr<Client> AddClient();
    void SetBatchRecords(unsigned records);
    unsigned BatchRecords();
};

class RemotePlayer : public Player {
public:
    RemotePlayer() : Player(QUILLET_KIND_REMOTE) {}
    /// Feeds one batch; false when the player cannot take the rest now (read pictures, then
    /// offer the same batch again).
    bool Write(py::buffer batch);
};

void RegisterServices(py::module_& m);

} // namespace QuilletPython
