#pragma once
// Real receivers for the publishing tests: an ffmpeg listening on 127.0.0.1
// for one protocol and copying what it gets into an MPEG-TS file, plus the
// checks made on such files beside ProbeVideo's. (The RTSP receiver, whoever
// publishes to it, cannot time the first picture of a stream with B-frames;
// cameras send none.)
#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/RtspTestServer.h"
#include "facade/FFWrapper.h"
#include "support/MediaOracle.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

namespace Quillet::Testing {

enum class Transport { Rtsp, Rtmp, Srt };

inline const char* TransportName(Transport t)
{
    return t == Transport::Rtsp ? "rtsp" : t == Transport::Rtmp ? "rtmp" : "srt";
}

class Receiver {
public:
    Receiver(Transport transport, std::string file)
        : _transport(transport), _port(QuilletTest::UnusedLocalPort()), _file(std::move(file))
    {
        const std::string host = "127.0.0.1:" + std::to_string(_port);
        _url = transport == Transport::Rtsp ? "rtsp://" + host + "/live"
               : transport == Transport::Rtmp ? "rtmp://" + host + "/live/x"
                                              : "srt://" + host;
    }

    // Starts (again) to listen on the same port; into `file` when given.
    bool Listen(const std::string& file = {})
    {
        if (!file.empty())
            _file = file;
        std::vector<std::string> args{"ffmpeg", "-nostdin", "-v", "error", "-y"};
        if (_transport == Transport::Rtsp)
            args.insert(args.end(), {"-rtsp_flags", "listen", "-i", _url});
        else if (_transport == Transport::Rtmp)
            args.insert(args.end(), {"-listen", "1", "-i", _url});
        else
            args.insert(args.end(), {"-i", _url + "?mode=listener"});
        args.insert(args.end(), {"-c", "copy", "-f", "mpegts", _file});
        return _process.Start(args, _file + ".log") && WaitForLocalPort(_port, _transport == Transport::Srt);
    }

    // Waits for the receiver to finish its file after the publisher left.
    void Finish()
    {
        if (_process.Wait(std::chrono::seconds(8)) < 0)
            _process.Kill(SIGINT); // ffmpeg still closes the file properly
    }

    void Kill() { _process.Kill(SIGKILL); }
    const std::string& Url() const { return _url; }
    const std::string& File() const { return _file; }
    std::string Log() const { return _process.Log(); }

private:
    Transport _transport;
    int _port;
    std::string _file;
    std::string _url;
    ChildProcess _process;
};

// The video packets' payload hashes in order, compared in one form whatever
// the container: Annex B, without the parameter sets and delimiters some
// muxers repeat in-band.
inline std::vector<std::string> VideoPacketHashes(const std::string& file)
{
    std::istringstream lines(Capture("ffmpeg -nostdin -v error -i " + file +
                                     " -map 0:v:0 -c copy -bsf:v 'h264_mp4toannexb,filter_units=remove_types=7|8|9'"
                                     " -f framemd5 - 2>/dev/null | grep -v '^#' | cut -d, -f6"));
    std::vector<std::string> hashes;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            hashes.push_back(line);
    return hashes;
}

// Whether ffmpeg decodes the whole file without an error.
inline bool Plays(const std::string& file)
{
    return Run("ffmpeg -nostdin -v error -xerror -i " + file + " -map 0:v -f null - >/dev/null 2>&1") == 0;
}

// Polls the facade's output list until `done` holds for every output.
template <typename Done>
bool WaitForOutputs(FFWrapperCLI::FFWrapper& publisher, Done done, std::chrono::milliseconds limit)
{
    return WaitFor([&] {
        const auto all = publisher.GetPublishingStatus();
        return !all.empty() && std::all_of(all.begin(), all.end(), done);
    }, limit);
}

} // namespace Quillet::Testing
