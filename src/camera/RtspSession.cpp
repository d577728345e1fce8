#include "camera/RtspSession.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Quillet {
namespace {

constexpr int64_t kCancelCheckUs = 50'000; // how often a connect asks the cancel callback
constexpr std::size_t kReceiveChunk = 65536;
constexpr const char* kUserAgent = "Quillet";

int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

RtspSession::RtspSession(int64_t connectTimeoutUs, std::function<bool()> cancel, const ConnectionWatch& watch,
                         int wake, FailureSink failed, FrameSink interleaved)
    : _connectTimeoutUs(connectTimeoutUs), _cancel(std::move(cancel)), _watch(watch), _wake(wake),
      _failed(std::move(failed)), _interleaved(std::move(interleaved))
{
}

RtspSession::~RtspSession() { Close(); }

void RtspSession::Close()
{
    if (_control >= 0)
        ::close(_control);
    _control = -1;
}

void RtspSession::SetLogin(std::string username, std::string password)
{
    _username = std::move(username);
    _password = std::move(password);
}

RtspSession::Wait RtspSession::_WaitReadable(int64_t deadlineUs, bool wakeable)
{
    for (;;) {
        if (wakeable && _watch.Interrupted())
            return Wait::Interrupted;
        if (wakeable && _cancel && _cancel())
            return Wait::Interrupted;
        const int64_t now = NowUs();
        if (now >= deadlineUs)
            return Wait::TimedOut;
        // The cancel callback cannot wake the poll; it is asked between slices.
        int64_t slice = deadlineUs - now;
        if (wakeable && _cancel)
            slice = std::min(slice, kCancelCheckUs);
        pollfd fds[2] = {{_control, POLLIN, 0}, {_wake, POLLIN, 0}};
        const int result = poll(fds, wakeable ? 2 : 1, int((slice + 999) / 1000));
        if (result < 0 && errno != EINTR)
            return Wait::Failed;
        if (result <= 0)
            continue;
        if (wakeable && (fds[1].revents & POLLIN))
            return Wait::Interrupted;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            return Wait::Ready;
    }
}

bool RtspSession::Connect(const RtspAddress& address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        _failed(ConnectFailure::Other, std::string("cannot resolve the host: ") + gai_strerror(resolved));
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, freeaddrinfo);
    const int64_t deadline = NowUs() + _connectTimeoutUs;
    bool refused = false;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            refused = refused || errno == ECONNREFUSED;
            ::close(fd);
            continue;
        }
        for (;;) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {_wake, POLLIN, 0}};
            const int64_t now = NowUs();
            if (now >= deadline || _watch.Interrupted() || (_cancel && _cancel()))
                break;
            const int64_t slice = _cancel ? std::min(deadline - now, kCancelCheckUs) : deadline - now;
            const int result = poll(fds, 2, int((slice + 999) / 1000));
            if (result > 0 && (fds[1].revents & POLLIN))
                break;
            if (result > 0 && fds[0].revents) {
                int error = 0;
                socklen_t length = sizeof(error);
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0) {
                    const int on = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
                    _control = fd;
                    return true;
                }
                refused = refused || error == ECONNREFUSED;
                break;
            }
        }
        ::close(fd);
        if (_watch.Interrupted() || NowUs() >= deadline)
            break;
    }
    if (_watch.Interrupted() || (_cancel && _cancel()))
        _failed(ConnectFailure::Other, "closed while connecting");
    else if (refused)
        _failed(ConnectFailure::ConnectionRefused, "connection refused");
    else if (NowUs() >= deadline)
        _failed(ConnectFailure::TimedOut, "no answer within " + std::to_string(_connectTimeoutUs / 1000) + " ms");
    else
        _failed(ConnectFailure::Other, "cannot reach the camera");
    return false;
}

bool RtspSession::Send(const std::string& method, const std::string& url, const std::string& headers)
{
    std::string request = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++_sequence) +
                          "\r\nUser-Agent: " + kUserAgent + "\r\n";
    if (!_session.empty())
        request += "Session: " + _session + "\r\n";
    if (!_challenge.empty() && !_username.empty()) {
        const std::string authorization =
            AuthorizationHeader(_challenge, _username, _password, method, url, ++_nonceCount);
        if (!authorization.empty())
            request += "Authorization: " + authorization + "\r\n";
    }
    request += headers + "\r\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(_control, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fd{_control, POLLOUT, 0};
            if (poll(&fd, 1, int(_connectTimeoutUs / 1000)) > 0)
                continue;
        }
        return false;
    }
    return true;
}

bool RtspSession::Receive()
{
    if (_receivedStart > 0 && _receivedStart * 2 >= _received.size()) {
        _received.erase(_received.begin(), _received.begin() + long(_receivedStart));
        _receivedStart = 0;
    }
    const std::size_t old = _received.size();
    _received.resize(old + kReceiveChunk);
    const ssize_t n = ::recv(_control, _received.data() + old, kReceiveChunk, MSG_DONTWAIT);
    _received.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
    if (n == 0) {
        _closed = true;
        return false;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        _closed = true;
        return false;
    }
    return true;
}

void RtspSession::_Parse(RtspResponse* response, bool& gotResponse)
{
    for (;;) {
        const uint8_t* data = _received.data() + _receivedStart;
        const std::size_t size = _received.size() - _receivedStart;
        if (size == 0)
            return;
        if (data[0] == '$') { // an interleaved RTP or RTCP packet
            if (size < 4)
                return;
            const int channel = data[1];
            const std::size_t length = (std::size_t(data[2]) << 8) | data[3];
            if (size < 4 + length)
                return;
            // Taken past before the call: the buffer is not touched during it.
            _receivedStart += 4 + length;
            if (_interleaved)
                _interleaved(channel, data + 4, length);
            continue;
        }
        RtspResponse parsed;
        const long used = ParseRtspResponse(reinterpret_cast<const char*>(data), size, parsed);
        if (used == 0)
            return;
        if (used < 0) { // noise: look for the next message
            ++_receivedStart;
            continue;
        }
        _receivedStart += std::size_t(used);
        // Answers to keep-alives are only read past; a request from the
        // camera (it may ask too) starts with a method, not "RTSP/1.0", and
        // is skipped as noise.
        if (response != nullptr && !gotResponse) {
            *response = std::move(parsed);
            gotResponse = true;
        }
    }
}

bool RtspSession::Request(const std::string& method, const std::string& url, const std::string& headers,
                          RtspResponse& response)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!Send(method, url, headers)) {
            _failed(ConnectFailure::Other, "the camera closed the connection");
            return false;
        }
        const int expected = _sequence;
        const int64_t deadline = NowUs() + _connectTimeoutUs;
        bool got = false;
        while (!got) {
            bool gotAny = false;
            RtspResponse candidate;
            _Parse(&candidate, gotAny);
            if (gotAny && std::atoi(candidate.Header("cseq").c_str()) == expected) {
                response = std::move(candidate);
                got = true;
                break;
            }
            if (gotAny)
                continue; // an answer to something earlier
            switch (_WaitReadable(deadline, true)) {
            case Wait::Ready: break;
            case Wait::TimedOut:
                _failed(ConnectFailure::TimedOut, "no answer within " + std::to_string(_connectTimeoutUs / 1000) + " ms");
                return false;
            case Wait::Interrupted: _failed(ConnectFailure::Other, "closed while connecting"); return false;
            case Wait::Failed: _failed(ConnectFailure::Other, std::strerror(errno)); return false;
            }
            if (!Receive()) {
                _failed(ConnectFailure::Other, "the camera closed the connection");
                return false;
            }
        }
        if (response.status != 401)
            break;
        // A challenge: answered once; a second refusal is final.
        const bool answered = !_challenge.empty() && attempt > 0;
        _challenge = response.Header("www-authenticate");
        _nonceCount = 0;
        if (answered || _username.empty() || _challenge.empty())
            break;
    }
    if (response.status == 401 || response.status == 403) {
        _failed(ConnectFailure::AuthorizationFailed, "authorization failed");
        return false;
    }
    if (response.status != 200) {
        _failed(ConnectFailure::Other, method + " answered " + std::to_string(response.status) + " " + response.reason);
        return false;
    }
    return true;
}


void RtspSession::TakeSession(const RtspResponse& response)
{
    const std::string session = response.Header("session");
    if (session.empty())
        return;
    _session = session.substr(0, session.find(';'));
    const std::string timeout = HeaderParameter(session, "timeout");
    if (!timeout.empty() && std::atoi(timeout.c_str()) > 0)
        _sessionTimeoutS = std::atoi(timeout.c_str());
}

void RtspSession::KeepAliveWith(std::string method, std::string url, int64_t nowUs)
{
    _keepAliveMethod = std::move(method);
    _keepAliveUrl = std::move(url);
    _nextKeepAliveUs = nowUs + int64_t(std::max(_sessionTimeoutS / 2, 1)) * 1'000'000;
}

void RtspSession::KeepAlive(int64_t nowUs)
{
    if (_keepAliveMethod.empty() || nowUs < _nextKeepAliveUs)
        return;
    _nextKeepAliveUs = nowUs + int64_t(std::max(_sessionTimeoutS / 2, 1)) * 1'000'000;
    // The answer is read past by the reader.
    Send(_keepAliveMethod, _keepAliveUrl, "");
}

void RtspSession::Teardown(const std::string& url, int64_t waitUs)
{
    if (_control < 0 || _session.empty() || _closed)
        return;
    // Reading is over; the TEARDOWN gets a short chance to leave so the
    // camera frees the session at once instead of at its own timeout.
    if (Send("TEARDOWN", url, ""))
        _WaitReadable(NowUs() + waitUs, false);
}

} // namespace Quillet
