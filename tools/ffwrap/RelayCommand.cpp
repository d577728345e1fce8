#include "RelayCommand.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CameraPlayer.h"
#include "DemoClip.h"
#include "core/UrlForLog.h"
#include "facade/FFServingWrappers.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;

namespace Quillet::Tools {
namespace {

// A frame is a 4-byte little-endian length and that many bytes; length 0 ends the stream.
constexpr uint32_t kEndOfFrames = 0;
// A frame longer than this is not a batch of ours: the stream is corrupt.
constexpr uint32_t kMaxFrame = 256u << 20;
// How long the sender waits for the next batch before it gives up on the source.
constexpr auto kSourceSilence = 30s;
// How long a remote player may refuse one batch before it counts as refused.
constexpr auto kBatchPatience = 10s;
constexpr auto kDrainLimit = 10s;

class Socket {
public:
    explicit Socket(int fd = -1) : _fd(fd) {}
    ~Socket()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    Socket(Socket&& o) noexcept : _fd(o._fd) { o._fd = -1; }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return _fd; }

private:
    int _fd;
};

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Listens on 127.0.0.1 at a port the system picks; returns the socket and the port.
Socket Listen(uint16_t& port)
{
    Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    if (s.Fd() < 0)
        Fail("socket");
    sockaddr_in address = Loopback(0);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        Fail("bind to 127.0.0.1");
    if (::listen(s.Fd(), 1) < 0)
        Fail("listen");
    socklen_t length = sizeof address;
    if (::getsockname(s.Fd(), reinterpret_cast<sockaddr*>(&address), &length) < 0)
        Fail("getsockname");
    port = ntohs(address.sin_port);
    return s;
}

Socket Connect(uint16_t port)
{
    Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    if (s.Fd() < 0)
        Fail("socket");
    sockaddr_in address = Loopback(port);
    if (::connect(s.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        Fail("connect to 127.0.0.1");
    return s;
}

void SendAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("send");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// False on a clean end of the connection before the first byte.
bool ReceiveAll(int fd, uint8_t* data, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd, data + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("recv");
        if (n == 0) {
            if (got == 0)
                return false;
            throw std::runtime_error("connection closed inside a frame");
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void SendFrame(int fd, const std::vector<uint8_t>& payload)
{
    const auto length = static_cast<uint32_t>(payload.size());
    const uint8_t prefix[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    SendAll(fd, prefix, sizeof prefix);
    if (!payload.empty())
        SendAll(fd, payload.data(), payload.size());
}

uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

struct Tally {
    uint64_t batches = 0;
    uint64_t records = 0;
    uint64_t bytes = 0;
    uint64_t pictures = 0;
    uint64_t refused = 0;
    bool endOfStream = false;
};

// Walks a batch's record headers: the number of records and whether the last
// one marks the end of the stream. Stops at the first header that does not fit.
uint64_t CountRecords(const std::vector<uint8_t>& batch, bool& endsStream)
{
    uint64_t records = 0;
    size_t at = 0;
    endsStream = false;
    while (batch.size() - at >= 12) {
        const uint32_t type = ReadU32(batch.data() + at);
        const uint32_t size = ReadU32(batch.data() + at + 4);
        if (size < 12 || size > batch.size() - at)
            break;
        ++records;
        endsStream = type == 4;
        at += size;
    }
    return records;
}

void TakePictures(FFRemoteWrapper& remote, FrameData& picture, Tally& tally, bool& ended)
{
    for (;;) {
        const int size = remote.ReadFrameGetSize(&picture);
        if (size < 0)
            ended = true;
        if (size <= 0)
            return;
        ++tally.pictures;
    }
}

// The receiving side, as an application would write it: frames off the
// socket into the remote player, pictures out of it.
void Receive(Socket connection, const std::optional<int>& threads, Tally& tally, std::string& error)
{
    try {
        FFRemoteWrapper remote("FFRelayRemote");
        if (threads)
            remote.SetDecodingThreads(*threads);
        remote.EnableAudio(false);
        remote.DecodeVideo(AV_PIX_FMT_BGR24);
        FrameData picture;
        bool ended = false;
        uint8_t prefix[4];
        std::vector<uint8_t> batch;
        while (ReceiveAll(connection.Fd(), prefix, sizeof prefix)) {
            const uint32_t length = ReadU32(prefix);
            if (length == kEndOfFrames)
                break;
            if (length > kMaxFrame)
                throw std::runtime_error("frame of " + std::to_string(length) + " bytes is not a batch");
            batch.resize(length);
            if (!ReceiveAll(connection.Fd(), batch.data(), batch.size()))
                throw std::runtime_error("connection closed inside a frame");
            bool endsStream = false;
            ++tally.batches;
            tally.bytes += length;
            tally.records += CountRecords(batch, endsStream);
            tally.endOfStream = tally.endOfStream || endsStream;
            // A busy player keeps its place in the batch; offer it again once pictures made room.
            const auto giveUp = std::chrono::steady_clock::now() + kBatchPatience;
            while (!remote.WritePacket(batch)) {
                TakePictures(remote, picture, tally, ended);
                if (std::chrono::steady_clock::now() > giveUp) {
                    ++tally.refused;
                    remote.WaitForSeek();
                    break;
                }
                std::this_thread::sleep_for(1ms);
            }
            TakePictures(remote, picture, tally, ended);
        }
        const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
        while (tally.endOfStream && !ended && std::chrono::steady_clock::now() < deadline) {
            TakePictures(remote, picture, tally, ended);
            std::this_thread::sleep_for(1ms);
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
}

void PrintTally(const char* title, const Tally& t, bool withPictures)
{
    std::cout << title << ": " << t.batches << " batches, " << t.records << " records, " << t.bytes << " bytes";
    if (withPictures)
        std::cout << ", " << t.pictures << " pictures" << (t.refused ? ", " + std::to_string(t.refused) + " refused" : "");
    std::cout << (t.endOfStream ? ", end of stream" : ", no end of stream") << "\n";
}

// The source and --threads; false when the words do not fit.
bool ParseRelayArgs(int argc, char** argv, std::string& source, std::optional<int>& threads)
{
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--threads" && i + 1 < argc && (threads = ParseThreads(argv[i + 1])))
            ++i;
        else if (a.empty() || a[0] == '-' || !source.empty())
            return false;
        else
            source = a;
    }
    return true;
}

} // namespace

int RelayCommand(int argc, char** argv)
{
    std::string source;
    std::optional<int> requestedThreads;
    if (!ParseRelayArgs(argc, argv, source, requestedThreads)) {
        std::cerr << "usage: ffwrap relay [source] [--threads N]\n";
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    try {
        if (source.empty()) {
            source = "ffwrap-demo.mp4";
            WriteDemoClip(source);
            std::cout << "Wrote the built-in demo clip to " << source << "\n";
        }

        uint16_t port = 0;
        Socket listener = Listen(port);
        Tally received;
        std::string receiveError;
        const std::optional<int> threads = DecodingThreadsFor(source, requestedThreads);
        std::thread receiver([&] { Receive(Connect(port), threads, received, receiveError); });
        Socket connection(::accept(listener.Fd(), nullptr, nullptr));
        if (connection.Fd() < 0) {
            receiver.join();
            Fail("accept");
        }
        std::cout << "Relaying " << UrlForLog(source) << " over 127.0.0.1:" << port << "\n";

        Tally sent;
        std::string sendError;
        try {
            FFPlayServerWrapper server("FFRelayServer");
            server.SetSource(source);
            FFOutgoingHandle client = server.AddClient();
            if (!client)
                throw std::runtime_error("cannot serve " + UrlForLog(source));
            if (!server.StartEngine())
                throw std::runtime_error("cannot start reading " + UrlForLog(source));
            auto lastBatch = std::chrono::steady_clock::now();
            while (!sent.endOfStream) {
                std::vector<uint8_t> batch = client->GetNextPacket();
                if (batch.empty()) {
                    if (std::chrono::steady_clock::now() - lastBatch > kSourceSilence)
                        throw std::runtime_error("the source went silent before its end");
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                lastBatch = std::chrono::steady_clock::now();
                bool endsStream = false;
                ++sent.batches;
                sent.bytes += batch.size();
                sent.records += CountRecords(batch, endsStream);
                sent.endOfStream = endsStream;
                SendFrame(connection.Fd(), batch);
            }
            server.RemoveClient(client);
        } catch (const std::exception& e) {
            sendError = e.what();
        }
        try {
            SendFrame(connection.Fd(), {});
        } catch (const std::exception&) {
            // The receiver is gone already; its own error says why.
        }
        receiver.join();

        PrintTally("sent", sent, false);
        PrintTally("arrived", received, true);
        if (!sendError.empty())
            std::cerr << "ffwrap relay: sending: " << sendError << "\n";
        if (!receiveError.empty())
            std::cerr << "ffwrap relay: receiving: " << receiveError << "\n";
        const bool complete = sendError.empty() && receiveError.empty() && sent.endOfStream &&
                              received.records == sent.records && received.bytes == sent.bytes &&
                              received.refused == 0 && received.pictures > 0;
        std::cout << (complete ? "relay complete" : "relay incomplete") << "\n";
        return complete ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "ffwrap relay: " << e.what() << "\n";
        return 1;
    }
}

} // namespace Quillet::Tools
