#include "camera/RTSPConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "camera/CameraCodes.h"
#include "camera/CameraLog.h"
#include "camera/PacketClock.h"
#include "camera/ParameterSets.h"
#include "camera/RtspUrl.h"
#include "core/UrlForLog.h"
#include "core/KeyPicture.h"

namespace Quillet {
namespace {

constexpr int64_t kMaxProbeUs = 3'000'000;      // longest wait for the first picture's size
constexpr int64_t kTeardownUs = 500'000;        // time allowed to say goodbye to the camera
constexpr int64_t kReportIntervalUs = 5'000'000; // RTCP receiver reports
constexpr int64_t kCancelCheckUs = 50'000;      // how often a connect asks the cancel callback
constexpr std::size_t kMaxDatagram = 65536;
constexpr const char* kUserAgent = "Quillet";

int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string AllowedMediaTypes(const std::vector<MediaPacket::MediaType>& types)
{
    const bool video = types.empty() || std::find(types.begin(), types.end(), MediaPacket::Video) != types.end();
    const bool audio = types.empty() || std::find(types.begin(), types.end(), MediaPacket::Audio) != types.end();
    if (video && audio)
        return "video+audio";
    return video ? "video" : (audio ? "audio" : "video+audio");
}

bool Wanted(const std::vector<MediaPacket::MediaType>& types, MediaPacket::MediaType type)
{
    return types.empty() || std::find(types.begin(), types.end(), type) != types.end();
}

std::string TimestampForFileName()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &utc);
    return text;
}

void CloseDescriptor(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The value of `name=` inside a header such as Transport, or empty.
std::string HeaderParameter(const std::string& header, const std::string& name)
{
    std::size_t at = 0;
    while ((at = header.find(name + "=", at)) != std::string::npos) {
        if (at == 0 || header[at - 1] == ';' || header[at - 1] == ' ') {
            const std::size_t start = at + name.size() + 1;
            const std::size_t end = header.find_first_of(";,", start);
            return header.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        at += name.size();
    }
    return {};
}

// A pair of UDP sockets on neighbouring ports, RTP on the even one.
bool BindPortPair(int& rtp, int& rtcp, int& port)
{
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 64; ++attempt) {
        const int candidate = 20000 + int(random() % 20000) * 2;
        int sockets[2] = {socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0),
                          socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
        bool bound = sockets[0] >= 0 && sockets[1] >= 0;
        for (int i = 0; bound && i < 2; ++i) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_ANY);
            address.sin_port = htons(uint16_t(candidate + i));
            bound = bind(sockets[i], reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        }
        if (bound) {
            const int size = 1 << 20; // a key picture arrives as a burst
            setsockopt(sockets[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
            rtp = sockets[0], rtcp = sockets[1], port = candidate;
            return true;
        }
        CloseDescriptor(sockets[0]);
        CloseDescriptor(sockets[1]);
    }
    return false;
}

} // namespace

RTSPConnection::RTSPConnection(RTSPSourceSettings settings, std::function<void()> changed)
    : _settings(std::move(settings)),
      _timeoutUs(int64_t(std::max(_settings.packetTimeoutMs, 1)) * 1000),
      _connectTimeoutUs(_settings.connectTimeoutMs > 0
                            ? std::min(_timeoutUs, int64_t(_settings.connectTimeoutMs) * 1000)
                            : _timeoutUs),
      _watch(_timeoutUs, int64_t(_settings.rtcpTimeoutMs) * 1000, _settings.requireRTCP),
      _changed(std::move(changed)), _wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

RTSPConnection::~RTSPConnection()
{
    Shutdown();
    CloseDescriptor(_wake);
}

void RTSPConnection::_Log(int level, const std::string& text) const
{
    CameraLog(static_cast<CameraLogLevel>(level), _settings.logPrefix, text);
}

void RTSPConnection::_Report(ConnectionWatch::Finding finding) const
{
    if (finding == ConnectionWatch::Finding::Stalled)
        _Log(int(CameraLogLevel::Warn), "No packet for " + std::to_string(_settings.packetTimeoutMs) + " ms from " + _logUrl);
    else if (finding == ConnectionWatch::Finding::NoSenderReport)
        _Log(int(CameraLogLevel::Warn), "No RTCP sender report within " + std::to_string(_settings.rtcpTimeoutMs) +
                                            " ms from " + _logUrl);
}

void RTSPConnection::Interrupt()
{
    _watch.Interrupt();
    if (_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(_wake, &one, sizeof(one));
    }
}

void RTSPConnection::_Fail(ConnectFailure failure, const std::string& reason)
{
    if (_failure == ConnectFailure::Other || _failure == ConnectFailure::None)
        _failure = failure;
    _Log(int(CameraLogLevel::Warn), "Cannot open " + _logUrl + ": " + reason);
}

bool RTSPConnection::Open(const std::string& url)
{
    _failure = ConnectFailure::Other;
    _openedUs = NowUs();
    _logUrl = UrlForLog(UrlWithCredentials(url, _settings.username, _settings.password));
    _Log(int(CameraLogLevel::Info), "Connecting to " + _logUrl + " over " +
                                        (_settings.streamUsingTCP ? "TCP" : "UDP") + ", media " +
                                        AllowedMediaTypes(_settings.mediaTypes) + ", timeout " +
                                        std::to_string(_connectTimeoutUs / 1000) + " ms");
    const auto address = ParseRtspUrl(url);
    if (!address) {
        _Fail(ConnectFailure::Other, "not an rtsp:// address");
        return false;
    }
    if (_wake < 0) {
        _Fail(ConnectFailure::Other, std::string("no wake-up descriptor: ") + std::strerror(errno));
        return false;
    }
    // Credentials of the settings win over those in the address.
    _username = _settings.username.empty() ? address->username : _settings.username;
    _password = _settings.username.empty() ? address->password : _settings.password;
    _requestUrl = address->requestUrl;
    if (!_Connect(*address) || !_Handshake(*address))
        return false;
    _OpenTimingLog();
    if (!_ProbeVideo())
        return false;
    _PublishInitialInfo();
    _watch.Connected(NowUs());
    _failure = ConnectFailure::None;
    _started = true;
    _reader = std::thread(&RTSPConnection::_ReadLoop, this);

    std::string summary = "Connected to " + _logUrl;
    for (const auto& stream : _streams) {
        const auto& info = *stream->info;
        summary += stream->type == MediaPacket::Video
                       ? ", video " + info.codecName + " " + std::to_string(info.width) + "x" + std::to_string(info.height)
                       : ", audio " + info.codecName + " " + std::to_string(info.sampleRate) + " Hz " +
                             std::to_string(info.channels) + " ch";
    }
    _Log(int(CameraLogLevel::Info), summary);
    return true;
}

RTSPConnection::Wait RTSPConnection::_WaitReadable(int fd, int64_t deadlineUs, bool wakeable)
{
    for (;;) {
        if (wakeable && _watch.Interrupted())
            return Wait::Interrupted;
        if (wakeable && _settings.cancel && _settings.cancel())
            return Wait::Interrupted;
        const int64_t now = NowUs();
        if (now >= deadlineUs)
            return Wait::TimedOut;
        // The cancel callback cannot wake the poll; it is asked between slices.
        int64_t slice = deadlineUs - now;
        if (wakeable && _settings.cancel)
            slice = std::min(slice, kCancelCheckUs);
        pollfd fds[2] = {{fd, POLLIN, 0}, {_wake, POLLIN, 0}};
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

bool RTSPConnection::_Connect(const RtspAddress& address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        _Fail(ConnectFailure::Other, std::string("cannot resolve the host: ") + gai_strerror(resolved));
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
            CloseDescriptor(fd);
            continue;
        }
        for (;;) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {_wake, POLLIN, 0}};
            const int64_t now = NowUs();
            if (now >= deadline || _watch.Interrupted() || (_settings.cancel && _settings.cancel()))
                break;
            const int64_t slice = _settings.cancel ? std::min(deadline - now, kCancelCheckUs) : deadline - now;
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
        CloseDescriptor(fd);
        if (_watch.Interrupted() || NowUs() >= deadline)
            break;
    }
    if (_watch.Interrupted() || (_settings.cancel && _settings.cancel()))
        _Fail(ConnectFailure::Other, "closed while connecting");
    else if (refused)
        _Fail(ConnectFailure::ConnectionRefused, "connection refused");
    else if (NowUs() >= deadline)
        _Fail(ConnectFailure::TimedOut, "no answer within " + std::to_string(_connectTimeoutUs / 1000) + " ms");
    else
        _Fail(ConnectFailure::Other, "cannot reach the camera");
    return false;
}

bool RTSPConnection::_Send(const std::string& method, const std::string& url, const std::string& headers)
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

bool RTSPConnection::_ReceiveControl()
{
    if (_receivedStart > 0 && _receivedStart * 2 >= _received.size()) {
        _received.erase(_received.begin(), _received.begin() + long(_receivedStart));
        _receivedStart = 0;
    }
    const std::size_t old = _received.size();
    _received.resize(old + kMaxDatagram);
    const ssize_t n = ::recv(_control, _received.data() + old, kMaxDatagram, MSG_DONTWAIT);
    _received.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
    if (n == 0) {
        _controlClosed = true;
        return false;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        _controlClosed = true;
        return false;
    }
    return true;
}

void RTSPConnection::_ParseControl(RtspResponse* response, bool& gotResponse)
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
            const int64_t now = NowUs();
            for (auto& track : _tracks) {
                if (channel == track->rtpChannel)
                    _HandleRtp(*track, data + 4, length, now);
                else if (channel == track->rtcpChannel)
                    _HandleRtcp(*track, data + 4, length, now);
            }
            _receivedStart += 4 + length;
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

bool RTSPConnection::_Request(const std::string& method, const std::string& url, const std::string& headers,
                              RtspResponse& response)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!_Send(method, url, headers)) {
            _Fail(ConnectFailure::Other, "the camera closed the connection");
            return false;
        }
        const int expected = _sequence;
        const int64_t deadline = NowUs() + _connectTimeoutUs;
        bool got = false;
        while (!got) {
            bool gotAny = false;
            RtspResponse candidate;
            _ParseControl(&candidate, gotAny);
            if (gotAny && std::atoi(candidate.Header("cseq").c_str()) == expected) {
                response = std::move(candidate);
                got = true;
                break;
            }
            if (gotAny)
                continue; // an answer to something earlier
            switch (_WaitReadable(_control, deadline, true)) {
            case Wait::Ready: break;
            case Wait::TimedOut:
                _Fail(ConnectFailure::TimedOut, "no answer within " + std::to_string(_connectTimeoutUs / 1000) + " ms");
                return false;
            case Wait::Interrupted: _Fail(ConnectFailure::Other, "closed while connecting"); return false;
            case Wait::Failed: _Fail(ConnectFailure::Other, std::strerror(errno)); return false;
            }
            if (!_ReceiveControl()) {
                _Fail(ConnectFailure::Other, "the camera closed the connection");
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
        _Fail(ConnectFailure::AuthorizationFailed, "authorization failed");
        return false;
    }
    if (response.status != 200) {
        _Fail(ConnectFailure::Other, method + " answered " + std::to_string(response.status) + " " + response.reason);
        return false;
    }
    return true;
}

bool RTSPConnection::_Handshake(const RtspAddress&)
{
    RtspResponse response;
    if (!_Request("OPTIONS", _requestUrl, "", response))
        return false;
    _getParameter = response.Header("public").find("GET_PARAMETER") != std::string::npos;
    if (!_Request("DESCRIBE", _requestUrl, "Accept: application/sdp\r\n", response))
        return false;
    _baseUrl = response.Header("content-base");
    if (_baseUrl.empty())
        _baseUrl = response.Header("content-location");
    if (_baseUrl.empty())
        _baseUrl = _requestUrl;
    const SessionDescription description = ParseSdp(response.body);
    if (!description.control.empty() && description.control != "*")
        _baseUrl = ControlUrl(_baseUrl, description.control);

    bool haveVideo = false, haveAudio = false;
    for (std::size_t i = 0; i < description.media.size(); ++i) {
        const SdpMedia& media = description.media[i];
        const bool video = media.kind == "video";
        if (!(video || media.kind == "audio"))
            continue;
        const MediaPacket::MediaType type = video ? MediaPacket::Video : MediaPacket::Audio;
        if ((video ? haveVideo : haveAudio) || !Wanted(_settings.mediaTypes, type))
            continue;
        const auto facts = DescribeMedia(media);
        if (!facts) {
            _Log(int(CameraLogLevel::Warn), "The " + media.kind + " stream " + media.encoding + " of " + _logUrl +
                                                " is of a kind this client cannot unpack; left out");
            continue;
        }
        (video ? haveVideo : haveAudio) = true;
        auto track = std::make_unique<Track>(facts->clockRate);
        track->media = media;
        track->facts = *facts;
        track->depacketizer = MakeDepacketizer(media, *facts);
        _streams.push_back(std::make_unique<CameraStream>(int(i), *facts, type, _settings.enableTimeFilter));
        track->stream = _streams.back().get();
        _tracks.push_back(std::move(track));
    }
    if (_tracks.empty()) {
        _Fail(ConnectFailure::Other, "no video or audio stream");
        return false;
    }
    bool tcp = _settings.streamUsingTCP;
    for (std::size_t i = 0; i < _tracks.size(); ++i)
        if (!_SetupTrack(*_tracks[i], i, tcp))
            return false;
    _watch.WatchPackets(NowUs());
    // Packets may come before PLAY's answer; they are taken as they come.
    _playing = true;
    if (!_Request("PLAY", _baseUrl, "", response))
        return false;
    const int64_t now = NowUs();
    _nextKeepAliveUs = now + int64_t(std::max(_sessionTimeoutS / 2, 1)) * 1'000'000;
    for (auto& track : _tracks)
        track->nextReportUs = now + 1'000'000;
    return true;
}

bool RTSPConnection::_SetupTrack(Track& track, std::size_t number, bool& tcp)
{
    static std::mt19937 random{std::random_device{}()};
    track.ownSsrc = uint32_t(random());
    const std::string url = ControlUrl(_baseUrl, track.media.control);
    RtspResponse response;
    if (!tcp) {
        int port = 0;
        if (!BindPortPair(track.rtpSocket, track.rtcpSocket, port)) {
            _Fail(ConnectFailure::Other, "no free UDP ports");
            return false;
        }
        const std::string transport = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" +
                                      std::to_string(port + 1) + "\r\n";
        const bool first = number == 0;
        // Asked again over TCP when the camera refuses UDP for the first stream.
        _failure = ConnectFailure::Other;
        if (!_Request("SETUP", url, transport, response) && !(first && response.status == 461))
            return false;
        if (response.status == 461) {
            _Log(int(CameraLogLevel::Info), "The camera refuses UDP; asking for TCP");
            CloseDescriptor(track.rtpSocket);
            CloseDescriptor(track.rtcpSocket);
            tcp = true;
        }
    }
    if (tcp) {
        const int channel = int(number) * 2;
        const std::string transport = "Transport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(channel) + "-" +
                                      std::to_string(channel + 1) + "\r\n";
        if (!_Request("SETUP", url, transport, response))
            return false;
        track.rtpChannel = channel, track.rtcpChannel = channel + 1;
        const std::string interleaved = HeaderParameter(response.Header("transport"), "interleaved");
        if (!interleaved.empty()) {
            track.rtpChannel = std::atoi(interleaved.c_str());
            const std::size_t dash = interleaved.find('-');
            track.rtcpChannel = dash == std::string::npos ? track.rtpChannel + 1 : std::atoi(interleaved.c_str() + dash + 1);
        }
    } else {
        const std::string transport = response.Header("transport");
        const std::string ports = HeaderParameter(transport, "server_port");
        const std::size_t dash = ports.find('-');
        const int serverRtcp = dash == std::string::npos ? std::atoi(ports.c_str()) + 1 : std::atoi(ports.c_str() + dash + 1);
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        if (getpeername(_control, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.ss_family == AF_INET &&
            serverRtcp > 0) {
            reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(uint16_t(serverRtcp));
            const auto* bytes = reinterpret_cast<const uint8_t*>(&peer);
            track.serverRtcpAddress.assign(bytes, bytes + sizeof(sockaddr_in));
        }
    }
    const std::string session = response.Header("session");
    if (!session.empty()) {
        _session = session.substr(0, session.find(';'));
        const std::string timeout = HeaderParameter(session, "timeout");
        if (!timeout.empty() && std::atoi(timeout.c_str()) > 0)
            _sessionTimeoutS = std::atoi(timeout.c_str());
    }
    return true;
}

void RTSPConnection::_HandleRtp(Track& track, const uint8_t* data, std::size_t size, int64_t nowUs)
{
    RtpPacketView packet;
    if (!ParseRtpPacket(data, size, packet) || packet.payloadType != track.media.payloadType)
        return;
    if (_watch.Stalled() || _watch.Interrupted())
        return;
    _watch.PacketArrived(nowUs);
    bool lossBefore = false;
    if (!track.reception.Arrive(packet, nowUs, lossBefore))
        return;
    if (lossBefore)
        _Log(int(CameraLogLevel::Debug), "RTP packets lost before sequence number " + std::to_string(packet.sequence));
    std::vector<AccessUnit> units;
    track.depacketizer->Push(packet, lossBefore, units);
    for (AccessUnit& unit : units)
        _HandleUnit(track, std::move(unit), nowUs);
}

void RTSPConnection::_HandleRtcp(Track& track, const uint8_t* data, std::size_t size, int64_t nowUs)
{
    // A compound packet: reports one after the other.
    while (size >= 8) {
        const std::size_t length = (((std::size_t(data[2]) << 8) | data[3]) + 1) * 4;
        if ((data[0] >> 6) != 2 || length > size)
            return;
        if (data[1] == 200 && length >= 28) { // sender report
            auto be32 = [](const uint8_t* p) {
                return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
            };
            const uint32_t ssrc = be32(data + 4);
            const uint64_t ntp = (uint64_t(be32(data + 8)) << 32) | be32(data + 12);
            if (track.reception.SenderReport(ssrc, ntp, be32(data + 16), nowUs) && _watch.SenderReportArrived())
                _Log(int(CameraLogLevel::Info), "First RTCP sender report " + std::to_string((nowUs - _openedUs) / 1000) +
                                                    " ms after connecting");
        }
        data += length, size -= length;
    }
}

void RTSPConnection::_ReceiveUdp(Track& track, bool rtcp)
{
    uint8_t buffer[kMaxDatagram];
    for (;;) {
        const ssize_t n = ::recv(rtcp ? track.rtcpSocket : track.rtpSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0)
            return;
        const int64_t now = NowUs();
        if (rtcp)
            _HandleRtcp(track, buffer, std::size_t(n), now);
        else
            _HandleRtp(track, buffer, std::size_t(n), now);
    }
}

void RTSPConnection::_SendReports(int64_t nowUs)
{
    for (auto& track : _tracks) {
        if (nowUs < track->nextReportUs)
            continue;
        track->nextReportUs = nowUs + kReportIntervalUs;
        const std::vector<uint8_t> report = track->reception.ReceiverReport(track->ownSsrc, nowUs);
        if (report.empty())
            continue;
        if (track->rtcpChannel >= 0) {
            std::vector<uint8_t> frame{'$', uint8_t(track->rtcpChannel), uint8_t(report.size() >> 8), uint8_t(report.size())};
            frame.insert(frame.end(), report.begin(), report.end());
            [[maybe_unused]] const ssize_t n = ::send(_control, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } else if (track->rtcpSocket >= 0 && !track->serverRtcpAddress.empty()) {
            [[maybe_unused]] const ssize_t n =
                ::sendto(track->rtcpSocket, report.data(), report.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(track->serverRtcpAddress.data()),
                         socklen_t(track->serverRtcpAddress.size()));
        }
    }
}

void RTSPConnection::_KeepAlive(int64_t nowUs)
{
    if (nowUs < _nextKeepAliveUs)
        return;
    _nextKeepAliveUs = nowUs + int64_t(std::max(_sessionTimeoutS / 2, 1)) * 1'000'000;
    // The answer is read past by the reader.
    _Send(_getParameter ? "GET_PARAMETER" : "OPTIONS", _getParameter ? _baseUrl : _requestUrl, "");
}

bool RTSPConnection::_Pump(int64_t untilUs)
{
    std::vector<pollfd> fds{{_wake, POLLIN, 0}, {_control, POLLIN, 0}};
    for (auto& track : _tracks)
        if (track->rtpSocket >= 0)
            fds.push_back({track->rtpSocket, POLLIN, 0}), fds.push_back({track->rtcpSocket, POLLIN, 0});
    int64_t now = NowUs();
    int64_t wakeAt = std::min(untilUs, _nextKeepAliveUs);
    for (auto& track : _tracks)
        wakeAt = std::min(wakeAt, track->nextReportUs);
    // Woken a little after the packet timeout would pass with nothing come.
    wakeAt = std::min(wakeAt, now + _timeoutUs + 1000);
    const int result = poll(fds.data(), fds.size(), int(std::max<int64_t>(wakeAt - now + 999, 0) / 1000));
    if (result < 0 && errno != EINTR) {
        _endReason = std::strerror(errno);
        return false;
    }
    if (fds[0].revents & POLLIN)
        return false; // interrupted
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        const bool open = _ReceiveControl();
        bool unused = false;
        _ParseControl(nullptr, unused);
        if (!open) {
            _endReason = "the camera ended the session";
            return false;
        }
    }
    std::size_t at = 2;
    for (auto& track : _tracks) {
        if (track->rtpSocket < 0)
            continue;
        if (fds[at].revents & POLLIN)
            _ReceiveUdp(*track, false);
        if (fds[at + 1].revents & POLLIN)
            _ReceiveUdp(*track, true);
        at += 2;
    }
    now = NowUs();
    ConnectionWatch::Finding finding = ConnectionWatch::Finding::None;
    const bool abort = _watch.ShouldAbort(now, finding);
    _Report(finding);
    if (abort) {
        if (_watch.Stalled())
            _endReason = "no packet for " + std::to_string(_settings.packetTimeoutMs) + " ms";
        return false;
    }
    _SendReports(now);
    _KeepAlive(now);
    return true;
}

// The SDP rarely carries the picture size; read until the first video packet
// tells it, so the description handed out after Connect is complete.
bool RTSPConnection::_ProbeVideo()
{
    CameraStream* video = nullptr;
    for (auto& stream : _streams)
        if (stream->type == MediaPacket::Video)
            video = stream.get();
    if (video == nullptr || video->PictureKnown())
        return true;
    const int64_t probeEnd = NowUs() + std::min(_timeoutUs, kMaxProbeUs);
    while (!video->PictureKnown() && !video->sawKey && NowUs() < probeEnd) {
        if (!_Pump(probeEnd)) {
            const std::string reason = _watch.Interrupted() ? "closed while connecting"
                                       : _watch.Stalled()   ? "no media within " + std::to_string(_settings.packetTimeoutMs) + " ms"
                                                            : _endReason;
            _Log(int(CameraLogLevel::Warn), "Cannot read from " + _logUrl + ": " + reason);
            return false;
        }
    }
    if (!video->PictureKnown())
        _Log(int(CameraLogLevel::Info), "Picture size of " + _logUrl + " not known yet");
    return true;
}

void RTSPConnection::_PublishInitialInfo()
{
    std::lock_guard lock(_queueMutex);
    for (auto& stream : _streams) {
        // The first queued packet's configuration, so that packet does not
        // look like a change.
        std::shared_ptr<const MediaInfoStruct> info = stream->info;
        for (const auto& entry : _queue) {
            if (entry.packet->mediaType == stream->type) {
                info = entry.info;
                break;
            }
        }
        if (info->configId == stream->info->configId)
            info = stream->info; // the same configuration, maybe with its size found meanwhile
        const int slot = _Slot(stream->type);
        _published[slot] = info;
        _deliveredConfig[slot] = info->configId;
    }
}

void RTSPConnection::_ReadLoop()
{
    while (!_watch.Interrupted() && _Pump(INT64_MAX)) {
    }
    _ended = true;
    if (_changed)
        _changed();
    if (_watch.Interrupted())
        return;
    _Log(int(CameraLogLevel::Warn), "Stream from " + _logUrl + " stopped: " + _endReason);
}

void RTSPConnection::_HandleUnit(Track& track, AccessUnit unit, int64_t receivedUs)
{
    CameraStream& stream = *track.stream;
    CameraPacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), int(unit.data.size())) < 0)
        return;
    std::memcpy(packet->data, unit.data.data(), unit.data.size());
    packet->pts = packet->dts = track.reception.MediaTime(unit.timestamp);
    packet->stream_index = stream.index;
    packet->flags = (unit.key ? AV_PKT_FLAG_KEY : 0) | (unit.corrupt ? AV_PKT_FLAG_CORRUPT : 0);

    const std::string change = stream.TrackConfiguration(*packet);
    if (!change.empty())
        _Log(int(CameraLogLevel::Info), change);
    // Parameter sets alone, or what a loss left of a picture without a
    // slice: written out, that is an access unit without a picture and a
    // damaged file.
    if (!HasPicture(stream.codecId, packet->data, std::size_t(packet->size))) {
        _Log(int(CameraLogLevel::Debug), "A video packet of " + std::to_string(packet->size) +
                                             " bytes without a picture is left out");
        return;
    }
    if (stream.IsKey(*packet))
        packet->flags |= AV_PKT_FLAG_KEY;
    else
        packet->flags &= ~AV_PKT_FLAG_KEY;
    if (IsCleanKey(*packet))
        stream.sawKey = true;
    const int64_t wallOfZero = track.reception.WallOfMediaZeroUs();
    for (PlacedPacket& placed : stream.Place(std::move(packet), receivedUs))
        _Emit(stream, std::move(placed), wallOfZero);
}

void RTSPConnection::_Emit(CameraStream& stream, PlacedPacket placed, int64_t wallOfZeroUs)
{
    const int64_t timestamp = placed.timestamp;
    const int64_t receivedUs = placed.receivedUs;
    auto info = std::move(placed.info);
    stream.emittedAny = true;
    auto record = std::make_shared<MediaPacketStruct>();
    AVPacket* raw = placed.packet.release();
    record->storage = std::shared_ptr<const AVPacket>(raw, CameraPacketDeleter{});
    record->data = raw->data;
    record->size = raw->size;
    record->streamIndex = raw->stream_index;
    record->mediaType = stream.type;
    record->frameType = IsCleanKey(*raw) ? MediaPacket::KeyFrame : MediaPacket::OtherFrame;
    record->corrupt = (raw->flags & AV_PKT_FLAG_CORRUPT) != 0;
    record->configId = info->configId;

    WallTime wall = stream.clock.Estimate(timestamp, true, receivedUs, wallOfZeroUs, -1);
    const double latencyMs = stream.type == MediaPacket::Video ? _settings.videoLatencyMs : _settings.audioLatencyMs;
    wall.microseconds += static_cast<int64_t>((_settings.syncShiftMs - latencyMs) * 1000.0);

    auto timing = std::make_shared<TimingDataStruct>();
    timing->timestamp = timestamp;
    timing->timestampEstimated = placed.estimated;
    timing->pcTimeUTC = wall.microseconds * 10;
    timing->trustIndex = wall.trust;
    timing->receivedUTC = receivedUs * 10;
    record->timing = std::move(timing);

    _WriteTimingLog(*record);
    _Enqueue({std::move(record), std::move(info)});
}

void RTSPConnection::_Enqueue(QueueEntry entry)
{
    {
        std::lock_guard lock(_queueMutex);
        const std::size_t capacity = std::max<std::size_t>(_settings.maxQueuedPackets, 1);
        while (_queue.size() >= capacity) {
            _queue.pop_front();
            ++_dropped;
            if (_dropped == 1 || _dropped % 100 == 0)
                _Log(int(CameraLogLevel::Warn), "Packet queue full, dropped the oldest packet (" +
                                                    std::to_string(_dropped) + " so far)");
        }
        _queue.push_back(std::move(entry));
    }
    if (_changed)
        _changed();
}

bool RTSPConnection::HasPacket() const
{
    std::lock_guard lock(_queueMutex);
    return !_queue.empty();
}

std::shared_ptr<MediaPacketStruct> RTSPConnection::Pop()
{
    std::lock_guard lock(_queueMutex);
    if (_queue.empty())
        return nullptr;
    QueueEntry entry = std::move(_queue.front());
    _queue.pop_front();
    // Decided here rather than on arrival, so a change still shows when the
    // packet that brought it was dropped from a full queue.
    const int slot = _Slot(entry.packet->mediaType);
    if (entry.info->configId != _deliveredConfig[slot]) {
        entry.packet->codecChanged = true;
        _deliveredConfig[slot] = entry.info->configId;
        _published[slot] = entry.info;
    }
    return std::move(entry.packet);
}

std::unique_ptr<MediaInfoStruct> RTSPConnection::Info(MediaPacket::MediaType type) const
{
    std::lock_guard lock(_queueMutex);
    const auto& info = _published[_Slot(type)];
    return info ? std::make_unique<MediaInfoStruct>(*info) : nullptr;
}

bool RTSPConnection::IsRunning()
{
    if (!_started || _ended)
        return false;
    ConnectionWatch::Finding finding = ConnectionWatch::Finding::None;
    const bool healthy = _watch.Healthy(NowUs(), finding);
    _Report(finding);
    return healthy;
}

void RTSPConnection::_CloseSockets()
{
    for (auto& track : _tracks) {
        CloseDescriptor(track->rtpSocket);
        CloseDescriptor(track->rtcpSocket);
    }
    CloseDescriptor(_control);
}

void RTSPConnection::Shutdown()
{
    std::lock_guard lock(_shutdownMutex);
    Interrupt();
    if (_reader.joinable())
        _reader.join();
    if (_control >= 0 && !_session.empty() && !_controlClosed) {
        // Reading is over; the TEARDOWN gets a short chance to leave so the
        // camera frees the session at once instead of at its own timeout.
        if (_Send("TEARDOWN", _baseUrl, ""))
            _WaitReadable(_control, NowUs() + std::min(_timeoutUs, kTeardownUs), false);
    }
    _CloseSockets();
    _tracks.clear();
    _streams.clear();
    {
        std::lock_guard queueLock(_queueMutex);
        _queue.clear();
        _published = {};
    }
    if (_timingLog.is_open())
        _timingLog.close();
}

void RTSPConnection::_OpenTimingLog()
{
    if (!_settings.createTimingLog)
        return;
    static std::atomic<unsigned> counter{0};
    std::string folder = _settings.timingLogFolder.empty() ? "." : _settings.timingLogFolder;
    const std::string path = folder + "/rtsp-timing-" + TimestampForFileName() + "-" + std::to_string(++counter) + ".csv";
    _timingLog.open(path);
    if (!_timingLog) {
        _Log(int(CameraLogLevel::Warn), "Cannot write the timing log " + path);
        return;
    }
    _timingLog << "media,configId,key,timestamp,estimated,pcTimeUTC,receivedUTC,trustIndex,size\n";
    _Log(int(CameraLogLevel::Info), "Timing log " + path);
}

void RTSPConnection::_WriteTimingLog(const MediaPacketStruct& packet)
{
    if (!_timingLog.is_open())
        return;
    const TimingDataStruct& t = *packet.timing;
    _timingLog << (packet.mediaType == MediaPacket::Video ? "video" : "audio") << ',' << packet.configId << ','
               << int(packet.frameType) << ',' << t.timestamp << ',' << int(t.timestampEstimated) << ','
               << t.pcTimeUTC << ',' << t.receivedUTC << ',' << int(t.trustIndex) << ',' << packet.size << '\n';
}

} // namespace Quillet
