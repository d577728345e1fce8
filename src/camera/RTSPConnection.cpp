#include "camera/RTSPConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include <arpa/inet.h>
#include <netinet/in.h>
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
constexpr std::size_t kMaxDatagram = 65536;

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

void CloseDescriptor(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
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
      _changed(std::move(changed)), _wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      _session(_connectTimeoutUs, _settings.cancel, _watch, _wake,
               [this](ConnectFailure failure, const std::string& reason) { _Fail(failure, reason); },
               [this](int channel, const uint8_t* data, std::size_t size) { _HandleInterleaved(channel, data, size); }),
      _queue(_settings.maxQueuedPackets, _settings.logPrefix)
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
    _session.SetLogin(_settings.username.empty() ? address->username : _settings.username,
                      _settings.username.empty() ? address->password : _settings.password);
    _requestUrl = address->requestUrl;
    if (!_session.Connect(*address) || !_Handshake())
        return false;
    if (_settings.createTimingLog)
        _timingLog.Open(_settings.timingLogFolder, _settings.logPrefix);
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

bool RTSPConnection::_Handshake()
{
    RtspResponse response;
    if (!_session.Request("OPTIONS", _requestUrl, "", response))
        return false;
    const bool getParameter = response.Header("public").find("GET_PARAMETER") != std::string::npos;
    if (!_session.Request("DESCRIBE", _requestUrl, "Accept: application/sdp\r\n", response))
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
    if (!_session.Request("PLAY", _baseUrl, "", response))
        return false;
    const int64_t now = NowUs();
    if (getParameter)
        _session.KeepAliveWith("GET_PARAMETER", _baseUrl, now);
    else
        _session.KeepAliveWith("OPTIONS", _requestUrl, now);
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
        if (!_session.Request("SETUP", url, transport, response) && !(first && response.status == 461))
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
        if (!_session.Request("SETUP", url, transport, response))
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
        if (getpeername(_session.Socket(), reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.ss_family == AF_INET &&
            serverRtcp > 0) {
            reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(uint16_t(serverRtcp));
            const auto* bytes = reinterpret_cast<const uint8_t*>(&peer);
            track.serverRtcpAddress.assign(bytes, bytes + sizeof(sockaddr_in));
        }
    }
    _session.TakeSession(response);
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
    std::vector<RtpReception::Ordered> ready;
    track.reception.Arrive(packet, nowUs, ready);
    _Unpack(track, ready, nowUs);
}

void RTSPConnection::_Unpack(Track& track, const std::vector<RtpReception::Ordered>& ready, int64_t nowUs)
{
    std::vector<AccessUnit> units;
    for (const RtpReception::Ordered& ordered : ready) {
        if (ordered.lossBefore)
            _Log(int(CameraLogLevel::Debug),
                 "RTP packets lost before sequence number " + std::to_string(ordered.packet.sequence));
        track.depacketizer->Push(ordered.packet, ordered.lossBefore, units);
    }
    for (AccessUnit& unit : units)
        _HandleUnit(track, std::move(unit), nowUs);
}

void RTSPConnection::_HandleInterleaved(int channel, const uint8_t* data, std::size_t size)
{
    const int64_t now = NowUs();
    for (auto& track : _tracks) {
        if (channel == track->rtpChannel)
            _HandleRtp(*track, data, size, now);
        else if (channel == track->rtcpChannel)
            _HandleRtcp(*track, data, size, now);
    }
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
            [[maybe_unused]] const ssize_t n = ::send(_session.Socket(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } else if (track->rtcpSocket >= 0 && !track->serverRtcpAddress.empty()) {
            [[maybe_unused]] const ssize_t n =
                ::sendto(track->rtcpSocket, report.data(), report.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(track->serverRtcpAddress.data()),
                         socklen_t(track->serverRtcpAddress.size()));
        }
    }
}

bool RTSPConnection::_Pump(int64_t untilUs)
{
    std::vector<pollfd> fds{{_wake, POLLIN, 0}, {_session.Socket(), POLLIN, 0}};
    for (auto& track : _tracks)
        if (track->rtpSocket >= 0)
            fds.push_back({track->rtpSocket, POLLIN, 0}), fds.push_back({track->rtcpSocket, POLLIN, 0});
    int64_t now = NowUs();
    int64_t wakeAt = std::min(untilUs, _session.NextKeepAliveUs());
    for (auto& track : _tracks)
        wakeAt = std::min({wakeAt, track->nextReportUs, track->reception.HoldDeadlineUs()});
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
        const bool open = _session.Receive();
        _session.Parse();
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
    // Packets held for a swap that did not come go on now.
    for (auto& track : _tracks) {
        if (now < track->reception.HoldDeadlineUs())
            continue;
        std::vector<RtpReception::Ordered> ready;
        track->reception.Expire(now, ready);
        _Unpack(*track, ready, now);
    }
    ConnectionWatch::Finding finding = ConnectionWatch::Finding::None;
    const bool abort = _watch.ShouldAbort(now, finding);
    _Report(finding);
    if (abort) {
        if (_watch.Stalled())
            _endReason = "no packet for " + std::to_string(_settings.packetTimeoutMs) + " ms";
        return false;
    }
    _SendReports(now);
    _session.KeepAlive(now);
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
    for (auto& stream : _streams)
        _queue.Publish(stream->type, stream->info);
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

    _timingLog.Write(*record);
    _queue.Push(std::move(record), std::move(info));
    if (_changed)
        _changed();
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
    _session.Close();
}

void RTSPConnection::Shutdown()
{
    std::lock_guard lock(_shutdownMutex);
    Interrupt();
    if (_reader.joinable())
        _reader.join();
    _session.Teardown(_baseUrl, std::min(_timeoutUs, kTeardownUs));
    _CloseSockets();
    _tracks.clear();
    _streams.clear();
    _queue.Clear();
    _timingLog.Close();
}

} // namespace Quillet
