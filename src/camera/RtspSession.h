#pragma once
// The RTSP control connection of one camera session: the TCP connection,
// requests and their answers (a Basic or Digest challenge answered once),
// the session id with its timeout, keep-alives, and the receive buffer in
// which the camera's responses and interleaved RTP/RTCP frames arrive mixed.
// Interleaved frames are handed to the `interleaved` callback as they are
// parsed; responses to anything but the request waited for are read past.
//
// Threads: belongs to its RTSPConnection and is used by one thread at a time:
// the thread in Open, then the reader, then the thread in Shutdown (after it
// joined the reader); no lock. The watch and the wake-up descriptor it is
// given are shared with the connection's Interrupt (atomic flag, eventfd);
// every wait here also ends when they say so, unless asked not to.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "camera/ConnectionWatch.h"
#include "camera/IRTSPClient.h"
#include "camera/RtspProtocol.h"

namespace Quillet {

class RtspSession {
public:
    enum class Wait { Ready, TimedOut, Interrupted, Failed };
    // Told why a connect or a request failed.
    using FailureSink = std::function<void(ConnectFailure, const std::string&)>;
    // An interleaved frame: its channel and payload, valid during the call.
    using FrameSink = std::function<void(int channel, const uint8_t* data, std::size_t size)>;

    // `cancel` (may be empty) is asked between slices of the connecting
    // waits; `wake` is the connection's eventfd.
    RtspSession(int64_t connectTimeoutUs, std::function<bool()> cancel, const ConnectionWatch& watch, int wake,
                FailureSink failed, FrameSink interleaved);
    ~RtspSession();
    RtspSession(const RtspSession&) = delete;
    RtspSession& operator=(const RtspSession&) = delete;

    void SetLogin(std::string username, std::string password);
    // Connects the TCP connection within the connect timeout.
    bool Connect(const RtspAddress& address);
    // Sends a request and waits for its answer, answering one login
    // challenge; false (and the failure told) unless it answered 200.
    bool Request(const std::string& method, const std::string& url, const std::string& headers,
                 RtspResponse& response);
    bool Send(const std::string& method, const std::string& url, const std::string& headers);
    // Takes the session id and its timeout from a SETUP answer.
    void TakeSession(const RtspResponse& response);
    // From now on keep-alives go out as `method` on `url`, every half session timeout.
    void KeepAliveWith(std::string method, std::string url, int64_t nowUs);
    void KeepAlive(int64_t nowUs);
    int64_t NextKeepAliveUs() const { return _nextKeepAliveUs; }

    // For the reader: reads what arrived (false once the camera closed the
    // connection) and parses it, frames to the callback.
    bool Receive();
    void Parse() { _Parse(nullptr, _unused); }
    // Says goodbye with TEARDOWN on `url`, giving the answer up to `waitUs` to come.
    void Teardown(const std::string& url, int64_t waitUs);

    int Socket() const { return _control; }
    void Close();

private:
    Wait _WaitReadable(int64_t deadlineUs, bool wakeable);
    // Interleaved frames and responses in the receive buffer; the first
    // response is moved into `response` when asked for.
    void _Parse(RtspResponse* response, bool& gotResponse);

    const int64_t _connectTimeoutUs;
    const std::function<bool()> _cancel;
    const ConnectionWatch& _watch;
    const int _wake;
    const FailureSink _failed;
    const FrameSink _interleaved;

    int _control = -1;
    std::vector<uint8_t> _received;
    std::size_t _receivedStart = 0;
    bool _closed = false;
    bool _unused = false;
    std::string _username, _password;
    std::string _session;
    std::string _challenge; // the camera's last WWW-Authenticate
    uint32_t _nonceCount = 0;
    int _sequence = 0;
    int _sessionTimeoutS = 60;
    std::string _keepAliveMethod, _keepAliveUrl;
    int64_t _nextKeepAliveUs = INT64_MAX; // none before KeepAliveWith
};

} // namespace Quillet
