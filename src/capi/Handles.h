#pragma once
// The live handles of the C interface and the guards every C function runs
// in: look the handle up (an unknown one is QUILLET_ERROR_INVALID_HANDLE),
// check its kind, catch every exception.
//
// Threads: any; the registries lock themselves (HandleRegistry.h).
#include <memory>
#include <mutex>
#include <vector>

#include "capi/CallGuard.h"
#include "capi/HandleRegistry.h"
#include "capi/Player.h"

// One serialized batch handed to the application; freed by quillet_batch_free.
struct quillet_batch {
    std::vector<uint8_t> bytes;
};

namespace Quillet::CApi {

// One served client: the facade's handle on its queue, the server it came
// from, a batch kept back when the caller's buffer was too small, and the
// signal a waiting fetch sleeps on: bumped by the source's thread as records
// arrive, closed by destroy. `lock` guards `held` and `hasHeld` (one thread
// per client is expected).
struct Client {
    FFWrapperCLI::FFOutgoingHandle out;
    std::shared_ptr<HandleSignal> signal = std::make_shared<HandleSignal>();
    std::weak_ptr<Player> server;
    std::mutex lock;
    std::vector<uint8_t> held;
    bool hasHeld = false;
};

// The registries live as long as the process (never destroyed, so no handle
// an application forgot is torn down while the process exits).
HandleRegistry<Player, quillet_player>& Players();
HandleRegistry<Client, quillet_client>& Clients();

// Runs `work(Player&)` for a live handle; see the file comment.
template <class Work>
int WithPlayer(quillet_player* handle, Work&& work) noexcept
{
    return Guard([&]() -> int {
        const std::shared_ptr<Player> player = Players().Find(handle);
        if (!player)
            throw StatusError(QUILLET_ERROR_INVALID_HANDLE, "not a live player handle");
        return work(*player);
    });
}

// As WithPlayer, for an operation that `part` (a facade pointer of the
// player, null for kinds without it) must offer.
template <class Part, class Work>
int WithPart(quillet_player* handle, Part* (Player::*part)(), Work&& work) noexcept
{
    return WithPlayer(handle, [&](Player& player) -> int {
        Part* p = (player.*part)();
        if (!p)
            throw StatusError(QUILLET_ERROR_WRONG_KIND, "this kind of handle does not offer the operation");
        return work(player, *p);
    });
}

// A stop's status: QUILLET_STOP_PENDING when it was asked on the library
// thread it must end (it completes when the callback returns).
inline int Stopped(FFWrapperCLI::StopResult result)
{
    return result == FFWrapperCLI::StopResult::AfterHandler ? QUILLET_STOP_PENDING : QUILLET_OK;
}

// Stores `value` through `out` after checking it.
template <class T>
int Answer(T* out, T value)
{
    Require(out != nullptr, "the output pointer is NULL");
    *out = value;
    return QUILLET_OK;
}

} // namespace Quillet::CApi
