#include "CameraPlayer.h"

#include "facade/FFServingWrappers.h"

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

} // namespace Quillet::Tools
