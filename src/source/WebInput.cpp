#include "source/WebInput.h"

#include <atomic>
#include <cstring>

namespace Quillet {
namespace {

using IoOpen = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);
std::atomic<IoOpen> gDefaultIoOpen{nullptr};

bool IsWebUrl(const char* url)
{
    return url && (std::strncmp(url, "http://", 7) == 0 || std::strncmp(url, "https://", 8) == 0);
}

int OpenAskingForTheRestWhenCut(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                                AVDictionary** options)
{
    AVDictionary* own = nullptr;
    AVDictionary** settings = options ? options : &own;
    if (IsWebUrl(url)) {
        av_dict_set(settings, "reconnect", "1", 0);
        av_dict_set(settings, "reconnect_delay_max", "2", 0);
    }
    const int result = gDefaultIoOpen.load()(context, pb, url, flags, settings);
    av_dict_free(&own);
    return result;
}

} // namespace

void AskForTheRestWhenCut(AVFormatContext* context)
{
    if (!context || context->io_open == &OpenAskingForTheRestWhenCut)
        return;
    gDefaultIoOpen = context->io_open;
    context->io_open = &OpenAskingForTheRestWhenCut;
}

} // namespace Quillet
