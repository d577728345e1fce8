#include "PublishCommand.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "facade/FFWrapper.h"
#include "core/UrlForLog.h"
#include "publish/PublishStatus.h"

extern "C" {
#include <libavutil/log.h>
}

namespace Quillet::Tools {
namespace {

using namespace Quillet::FFWrapperCLI;
using namespace std::chrono_literals;

// Interrupts arrive as a value from WaitForInterrupt instead of in a handler:
// blocked here, before the facade starts threads, they stay blocked in all.
sigset_t BlockInterrupts()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

// Waits up to 50 ms; true when the process was asked to stop.
bool WaitForInterrupt(const sigset_t& set)
{
    const timespec wait{0, 50 * 1000 * 1000};
    return sigtimedwait(&set, nullptr, &wait) > 0;
}

void PrintStatus(const std::vector<PublishingStatus>& all)
{
    for (const auto& s : all) {
        std::cout << UrlForLog(s.url) << ": " << PublishStateName(static_cast<PublishState>(s.state)) << ", " << s.packets << " packets, " << s.bytes
                  << " bytes, " << s.reconnects << " reconnects";
        if (!s.lastError.empty())
            std::cout << ", last error: " << s.lastError;
        std::cout << "\n";
    }
    std::cout.flush();
}

bool AllDone(const std::vector<PublishingStatus>& all)
{
    for (const auto& s : all)
        if (s.state != PublishingState::Finished && s.state != PublishingState::Failed)
            return false;
    return true;
}

} // namespace

int PublishCommand(int argc, char** argv)
{
    std::vector<std::string> positional;
    std::optional<double> seconds;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            positional.push_back(a);
    }
    if (positional.size() < 2) {
        std::cerr << "usage: ffwrap publish <source> <url> [<url>...] [--seconds S]\n";
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    const sigset_t interrupts = BlockInterrupts();

    FFWrapper publisher("ffwrap");
    if (!publisher.OpenSource(positional[0])) {
        std::cerr << "ffwrap: cannot open " << UrlForLog(positional[0]) << ": " << publisher.GetOpenFailureReason() << "\n";
        return 1;
    }
    std::atomic<int> refused{0};
    publisher.RegisterFFEventCallback(ManagedEventDelegate([&](const EventArgs& e) {
        if (auto* p = dynamic_cast<const PublishingStatusArgs*>(&e); p && p->state == PublishingState::Failed) {
            std::cerr << "ffwrap: " << UrlForLog(p->url) << ": " << p->message << "\n";
            ++refused;
        }
    }));
    for (size_t i = 1; i < positional.size(); ++i)
        publisher.StartPublishing(positional[i]);
    if (!publisher.StartEngine()) {
        std::cerr << "ffwrap: cannot start " << UrlForLog(positional[0]) << "\n";
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    auto nextLine = start + 1s;
    std::vector<PublishingStatus> status = publisher.GetPublishingStatus();
    while (!status.empty() && !AllDone(status)) {
        if (seconds && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*seconds))
            break;
        if (WaitForInterrupt(interrupts))
            break;
        status = publisher.GetPublishingStatus();
        if (std::chrono::steady_clock::now() >= nextLine) {
            PrintStatus(status);
            nextLine += 1s;
        }
    }
    status = publisher.GetPublishingStatus();
    PrintStatus(status);
    for (size_t i = 1; i < positional.size(); ++i)
        publisher.StopPublishing(positional[i]);
    publisher.StopEngine();
    publisher.CloseSource();
    // Outputs the library refused to add, and those that failed or sent nothing, are named.
    std::vector<std::string> failedUrls;
    for (size_t i = 1; i < positional.size(); ++i) {
        const auto s = std::find_if(status.begin(), status.end(),
                                    [&](const PublishingStatus& p) { return p.url == positional[i]; });
        if (s == status.end() || s->state == PublishingState::Failed || s->packets == 0)
            failedUrls.push_back(UrlForLog(positional[i]));
    }
    if (failedUrls.empty() && refused == 0) {
        std::cout << "publish complete\n";
        return 0;
    }
    std::cout << "publish failed:";
    for (const auto& url : failedUrls)
        std::cout << " " << url;
    std::cout << "\n";
    return 1;
}

} // namespace Quillet::Tools
