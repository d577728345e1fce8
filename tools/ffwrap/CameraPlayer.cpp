#include "CameraPlayer.h"

#include "facade/FFServingWrappers.h"

#include <algorithm>
#include <cctype>

namespace Quillet::Tools {

using namespace FFWrapperCLI;

std::unique_ptr<FFWrapper> MakePlayer(const std::string& log, const CameraOptions& camera)
{
    if (!camera.tcp && camera.user.empty() && camera.password.empty())
        return std::make_unique<FFWrapper>(log);
    auto player = std::make_unique<FFFileServerWrapper>(log);
    SourceSettings settings;
    settings.streamUsingTCP = camera.tcp;
    settings.username = camera.user;
    settings.password = camera.password;
    player->SetSourceSettings(settings);
    return player;
}

std::optional<int> ParseThreads(const std::string& text)
{
    if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), [](unsigned char c) {
            return std::isdigit(c) != 0;
        }))
        return std::nullopt;
    const int threads = std::stoi(text);
    if (threads > 64)
        return std::nullopt;
    return threads;
}

std::optional<int> DecodingThreadsFor(const std::string& source, std::optional<int> requested)
{
    if (requested)
        return requested;
    const bool camera = source.rfind("rtsp://", 0) == 0 || source.rfind("rtsps://", 0) == 0;
    if (camera)
        return std::nullopt;
    return 0;
}

void UseDecodingThreads(FFWrapper& player, const std::string& source, std::optional<int> requested)
{
    if (const auto threads = DecodingThreadsFor(source, requested))
        player.SetDecodingThreads(*threads);
}

} // namespace Quillet::Tools
