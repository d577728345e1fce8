#pragma once
// A web server on 127.0.0.1 that misbehaves on purpose. It sends one body
// (after an HTTP response header, or alone: noise to any protocol) and stalls
// each connection at a given offset of it, by default at its end, with the
// connection left open; an empty body is never answered at all. Released,
// a connection sends the rest and closes. A seekable server answers Range
// requests and tells the body's length, as a file on a web server does;
// otherwise the body is a live stream without a length. A server told to
// drop cuts every connection that starts before the given offset there, as a
// proxy or a restarting server does: what follows it comes only to a request
// for a range from there on.
//
// Threads: one accepts, and each connection is served on a thread of its
// own; the destructor wakes them (by shutting the sockets down) and joins
// them. `_lock` guards every field below it.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillet::Testing {

struct StallingOptions {
    bool bare = false;        // the body without an HTTP header
    bool seekable = false;    // ranges and a length
    size_t holdAt = SIZE_MAX; // the body's offset to stall at; past it: the end
    size_t dropAt = SIZE_MAX; // the body's offset to cut connections at
};

class StallingHttpServer {
public:
    using Options = StallingOptions;

    explicit StallingHttpServer(std::string body = {}, Options options = {});
    ~StallingHttpServer();
    StallingHttpServer(const StallingHttpServer&) = delete;
    StallingHttpServer& operator=(const StallingHttpServer&) = delete;

    std::string Url() const;
    int Port() const { return _port; }
    // Waits until `clients` connections have sent all they may before the
    // stall; false after `seconds`.
    bool WaitUntilStalled(int clients, double seconds);
    // Lets every stalled connection, and every later one, go on to the end.
    void Release();

private:
    void Accept();
    void Serve(int client);
    // The response header for the body sent from byte `from`.
    std::string Header(size_t from, bool ranged) const;

    const std::string _body;
    const Options _options;
    int _listener = -1;
    int _port = 0;
    std::thread _acceptor;

    std::mutex _lock;
    std::condition_variable _changed;
    int _stalled = 0;
    bool _released = false;
    bool _closing = false;
    std::vector<int> _clients;
    std::vector<std::thread> _servers;
};

} // namespace Quillet::Testing
