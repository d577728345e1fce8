#include "support/SeekableHttpServer.h"
#include "support/LoopbackListener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace Quillet::Testing {

SeekableHttpServer::SeekableHttpServer(std::string body, size_t holdAt, bool seekable)
    : _body(std::move(body)), _holdAt(holdAt), _seekable(seekable)
{
    _listener = ListenOnLoopback(_port);
    _acceptor = std::thread([this] { Accept(); });
}

SeekableHttpServer::~SeekableHttpServer()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _closing = true;
        for (int client : _clients)
            shutdown(client, SHUT_RDWR);
    }
    _changed.notify_all();
    shutdown(_listener, SHUT_RDWR);
    _acceptor.join();
    for (std::thread& server : _servers)
        server.join();
    for (int client : _clients)
        close(client);
    close(_listener);
}

std::string SeekableHttpServer::Url() const
{
    return "http://127.0.0.1:" + std::to_string(_port) + "/clip.ts";
}

bool SeekableHttpServer::WaitUntilHeld(double seconds)
{
    std::unique_lock<std::mutex> guard(_lock);
    return _changed.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return _held; });
}

void SeekableHttpServer::Release()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _released = true;
    }
    _changed.notify_all();
}

void SeekableHttpServer::Accept()
{
    for (;;) {
        const int client = accept(_listener, nullptr, nullptr);
        std::lock_guard<std::mutex> guard(_lock);
        if (client < 0 || _closing) {
            if (client >= 0)
                close(client);
            return;
        }
        _clients.push_back(client);
        _servers.emplace_back([this, client] { Serve(client); });
    }
}

std::string SeekableHttpServer::Header(size_t from, bool ranged) const
{
    if (!_seekable)
        return "HTTP/1.1 200 OK\r\nContent-Type: video/MP2T\r\n\r\n";
    const std::string size = std::to_string(_body.size());
    std::string header = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                                      std::to_string(_body.size() - 1) + "/" + size + "\r\n"
                                : "HTTP/1.1 200 OK\r\n";
    return header + "Content-Type: video/MP2T\r\nAccept-Ranges: bytes\r\nContent-Length: " +
           std::to_string(_body.size() - from) + "\r\n\r\n";
}

void SeekableHttpServer::Serve(int client)
{
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<size_t>(n));
    }
    size_t from = 0;
    const size_t range = _seekable ? request.find("Range: bytes=") : std::string::npos;
    if (range != std::string::npos)
        from = std::strtoull(request.c_str() + range + 13, nullptr, 10);
    if (from > _body.size())
        from = _body.size();
    const std::string header = Header(from, range != std::string::npos);
    const auto sendAll = [client](const char* data, size_t size) {
        for (size_t sent = 0; sent < size;) {
            const ssize_t n = send(client, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    };
    if (!sendAll(header.data(), header.size()))
        return;
    size_t at = from;
    if (at < _holdAt) {
        if (!sendAll(_body.data() + at, _holdAt - at))
            return;
        at = _holdAt;
        std::unique_lock<std::mutex> guard(_lock);
        _held = true;
        _changed.notify_all();
        _changed.wait(guard, [&] { return _released || _closing; });
        if (_closing)
            return;
    }
    if (sendAll(_body.data() + at, _body.size() - at))
        shutdown(client, SHUT_WR); // the end of a live stream
}

} // namespace Quillet::Testing
