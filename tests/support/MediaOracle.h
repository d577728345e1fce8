#pragma once
// What ffprobe makes of a recorded file, and a tool process a test can kill.
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/TestMedia.h"

namespace Quillet::Testing {

struct Probe {
    int frames = -1;     // video pictures decoded
    double duration = 0; // seconds of video
    bool startsWithKey = false;
};

// Decodes the first video stream of `path` to the end.
inline Probe ProbeVideo(const std::string& path)
{
    Probe p;
    const std::string out = Capture("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                    "stream=nb_read_frames -of csv=p=0 '" + path + "' 2>/dev/null");
    std::sscanf(out.c_str(), "%d", &p.frames);
    const std::string times = Capture("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags "
                                      "-of csv=p=0 '" + path + "' 2>/dev/null");
    double first = 1e9, last = -1e9, t = 0;
    char flags[8] = "";
    bool any = false;
    for (size_t pos = 0; pos < times.size();) {
        size_t end = times.find('\n', pos);
        if (end == std::string::npos)
            end = times.size();
        if (std::sscanf(times.c_str() + pos, "%lf,%7s", &t, flags) == 2) {
            if (!any)
                p.startsWithKey = flags[0] == 'K';
            any = true;
            first = std::min(first, t);
            last = std::max(last, t);
        }
        pos = end + 1;
    }
    p.duration = any ? last - first : 0;
    return p;
}

// A child process running `argv`, its output in `log`; optionally under a
// file-size limit (writes past it fail rather than kill the child).
class ToolProcess {
public:
    ToolProcess(const std::vector<std::string>& argv, const std::string& log, rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        _pid = fork();
        if (_pid != 0)
            return;
        std::FILE* out = std::freopen(log.c_str(), "w", stdout);
        if (out)
            dup2(fileno(stdout), STDERR_FILENO);
        if (fileSizeLimit != RLIM_INFINITY) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ~ToolProcess() { Signal(SIGKILL), Wait(); }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    void Signal(int signal) const
    {
        if (_pid > 0 && !_reaped)
            kill(_pid, signal);
    }
    // The exit status, or 128 + signal.
    int Wait()
    {
        if (_pid <= 0 || _reaped)
            return _status;
        int status = 0;
        waitpid(_pid, &status, 0);
        _reaped = true;
        _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return _status;
    }

private:
    pid_t _pid = -1;
    bool _reaped = false;
    int _status = -1;
};

} // namespace Quillet::Testing
