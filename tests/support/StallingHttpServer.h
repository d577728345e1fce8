#pragma once
// A server on 127.0.0.1 that misbehaves on purpose: it accepts and then
// never answers, or sends a given body (after an HTTP response header, or
// alone: noise to any protocol) and then stalls with the connection open. One thread of its own accepts and writes; the
// destructor wakes it (by shutting the sockets down) and joins it.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillet::Testing {

class StallingHttpServer {
public:
    // Empty `body`: never answer. Otherwise send it (no length; after an
    // HTTP header unless `bare`) and stall.
    explicit StallingHttpServer(std::string body = {}, bool bare = false);
    ~StallingHttpServer();
    StallingHttpServer(const StallingHttpServer&) = delete;
    StallingHttpServer& operator=(const StallingHttpServer&) = delete;

    std::string Url() const;
    int Port() const { return _port; }
    // Waits until `clients` connections have been accepted and given all
    // there was to send; false after `seconds`.
    bool WaitUntilStalled(int clients, double seconds);

private:
    void Serve();

    std::string _reply;
    int _listener = -1;
    int _port = 0;
    std::mutex _lock;
    std::condition_variable _changed;
    int _stalled = 0;           // guarded by _lock
    std::vector<int> _clients;  // guarded by _lock
    std::atomic<bool> _closing{false};
    std::thread _thread;
};

} // namespace Quillet::Testing
