#include "support/StallingHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace Quillet::Testing {

StallingHttpServer::StallingHttpServer(std::string body, Options options)
    : _body(std::move(body)), _options(options)
{
    _listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(_listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(_listener, 8) == 0 &&
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        _port = ntohs(address.sin_port);
    _acceptor = std::thread([this] { Accept(); });
}

StallingHttpServer::~StallingHttpServer()
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

std::string StallingHttpServer::Url() const
{
    return "http://127.0.0.1:" + std::to_string(_port) + "/clip";
}

bool StallingHttpServer::WaitUntilStalled(int clients, double seconds)
{
    std::unique_lock<std::mutex> guard(_lock);
    return _changed.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return _stalled >= clients; });
}

void StallingHttpServer::Release()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _released = true;
    }
    _changed.notify_all();
}

void StallingHttpServer::Accept()
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

std::string StallingHttpServer::Header(size_t from, bool ranged) const
{
    const std::string end = std::to_string(_body.size() - 1), length = std::to_string(_body.size() - from);
    if (!_options.seekable)
        return "HTTP/1.1 200 OK\r\nContent-Type: video/MP2T\r\n\r\n";
    return (ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" + end + "/" +
                         std::to_string(_body.size()) + "\r\n"
                   : std::string("HTTP/1.1 200 OK\r\n")) +
           "Content-Type: video/MP2T\r\nAccept-Ranges: bytes\r\nContent-Length: " + length + "\r\n\r\n";
}

void StallingHttpServer::Serve(int client)
{
    // Only a seek needs the request read.
    std::string request;
    char buffer[1024];
    for (ssize_t n = 0; _options.seekable && request.find("\r\n\r\n") == std::string::npos; request.append(buffer, n))
        if ((n = recv(client, buffer, sizeof buffer, 0)) <= 0)
            return;
    const size_t range = request.find("Range: bytes=");
    const bool ranged = range != std::string::npos;
    const size_t from = ranged ? std::min<size_t>(std::strtoull(request.c_str() + range + 13, nullptr, 10), _body.size()) : 0;
    const auto sendAll = [client](const std::string& bytes, size_t at, size_t end) {
        while (at < end) {
            const ssize_t n = send(client, bytes.data() + at, end - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    };
    const std::string header = _body.empty() || _options.bare ? std::string() : Header(from, ranged);
    if (from < _options.dropAt && _options.dropAt < _body.size()) {
        if (sendAll(header, 0, header.size()))
            sendAll(_body, from, _options.dropAt);
        shutdown(client, SHUT_RDWR);
        return;
    }
    const size_t holdAt = std::min(_options.holdAt, _body.size());
    if (!sendAll(header, 0, header.size()) || !sendAll(_body, from, std::max(from, holdAt)))
        return;
    if (from <= holdAt) { // a range past the stall goes on at once
        std::unique_lock<std::mutex> guard(_lock);
        ++_stalled;
        _changed.notify_all();
        _changed.wait(guard, [&] { return _released || _closing; });
        if (_closing)
            return;
    }
    if (sendAll(_body, std::max(from, holdAt), _body.size()))
        shutdown(client, SHUT_WR); // the end of the stream
}

} // namespace Quillet::Testing
