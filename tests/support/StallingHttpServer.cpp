#include "support/StallingHttpServer.h"
#include "support/LoopbackListener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace Quillet::Testing {

StallingHttpServer::StallingHttpServer(std::string body, bool bare)
    : _reply(body.empty() || bare ? body : "HTTP/1.1 200 OK\r\nContent-Type: video/MP2T\r\n\r\n" + body)
{
    _listener = ListenOnLoopback(_port);
    _thread = std::thread([this] { Serve(); });
}

StallingHttpServer::~StallingHttpServer()
{
    _closing = true;
    shutdown(_listener, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> guard(_lock);
        for (int client : _clients)
            shutdown(client, SHUT_RDWR);
    }
    _thread.join();
    for (int client : _clients)
        close(client);
    close(_listener);
}

std::string StallingHttpServer::Url() const
{
    return "http://127.0.0.1:" + std::to_string(_port) + "/clip";
}

bool StallingHttpServer::WaitUntilStalled(int clients, double seconds)
{
    std::unique_lock<std::mutex> guard(_lock);
    return _changed.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return _stalled >= clients; });
}

void StallingHttpServer::Serve()
{
    while (!_closing) {
        const int client = accept(_listener, nullptr, nullptr);
        if (client < 0)
            return;
        {
            std::lock_guard<std::mutex> guard(_lock);
            _clients.push_back(client);
        }
        for (size_t sent = 0; sent < _reply.size() && !_closing;) {
            const ssize_t n = send(client, _reply.data() + sent, _reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        std::lock_guard<std::mutex> guard(_lock);
        ++_stalled;
        _changed.notify_all();
    }
}

} // namespace Quillet::Testing
