#include "capi/CallGuard.h"

#include <array>

namespace Quillet::CApi {
namespace {

thread_local std::string t_lastError;
thread_local std::array<std::string, kKeptStringCount> t_kept;

} // namespace

int Fail(int status, std::string message)
{
    t_lastError = std::move(message);
    return status;
}

void ClearError()
{
    t_lastError.clear();
}

const char* LastError()
{
    return t_lastError.c_str();
}

const char* KeepForThread(int slot, std::string text)
{
    t_kept[static_cast<size_t>(slot)] = std::move(text);
    return t_kept[static_cast<size_t>(slot)].c_str();
}

} // namespace Quillet::CApi
