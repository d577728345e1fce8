#pragma once
// How every facade operation reaches its engine, written once: under the
// facade's monitor (`_mutex`, taken on the calling application thread), and
// only while the engine is there (Dispose deletes it under the same monitor).
// Internal header: the facades' sources include it, where the engine types are
// complete; the public FFWrapper.h only declares the templates.
#include "facade/FFWrapper.h"

namespace Quillet::FFWrapperCLI {

template <class EngineType, class Result, class Call>
Result FFWrapper::WithEngine(Result none, Call call)
{
    lock guard(_mutex);
    if (!guard.Entered() || !_engine)
        return none;
    return call(*static_cast<EngineType*>(_engine));
}

template <class EngineType, class Call>
void FFWrapper::WithEngine(Call call)
{
    lock guard(_mutex);
    if (guard.Entered() && _engine)
        call(*static_cast<EngineType*>(_engine));
}

} // namespace Quillet::FFWrapperCLI
