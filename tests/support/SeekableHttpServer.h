#pragma once
// A web server on 127.0.0.1 serving one body, as a file a client may seek in
// (it answers Range requests) or as a live stream (no length, no ranges),
// closing each connection at the body's end; and, until told to go on, holding
// every connection at a given offset of the body: a reader waits there for
// data as it would on a slow network. Each connection is served on a thread
// of its own; the destructor wakes them (by shutting the sockets down) and
// joins them.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillet::Testing {

class SeekableHttpServer {
public:
    // Holds at `holdAt` (the body's byte offset) until Release().
    SeekableHttpServer(std::string body, size_t holdAt, bool seekable);
    ~SeekableHttpServer();
    SeekableHttpServer(const SeekableHttpServer&) = delete;
    SeekableHttpServer& operator=(const SeekableHttpServer&) = delete;

    std::string Url() const;
    // Waits until a connection has sent all it may before the hold; false
    // after `seconds`.
    bool WaitUntilHeld(double seconds);
    void Release();

private:
    void Accept();
    void Serve(int client);
    // The response header for a body sent from byte `from`.
    std::string Header(size_t from, bool ranged) const;

    const std::string _body;
    const size_t _holdAt;
    const bool _seekable;
    int _listener = -1;
    int _port = 0;
    std::mutex _lock;
    std::condition_variable _changed;
    bool _held = false;     // guarded by _lock: a connection reached the hold
    bool _released = false; // guarded by _lock
    bool _closing = false;  // guarded by _lock
    std::vector<int> _clients;           // guarded by _lock
    std::vector<std::thread> _servers;   // guarded by _lock
    std::thread _acceptor;
};

} // namespace Quillet::Testing
