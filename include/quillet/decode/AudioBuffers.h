#pragma once
// The buffer list that carries decoded sound between the decoder, the engine
// and the host's AudioInterface. Public: applications implement AudioInterface
// with it, so it includes nothing but the standard library. A list travels
// by value from thread to thread (host's audio thread, engine, decoder); it is
// never shared while in use.
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

namespace Quillet {

/// Buffers of interleaved signed 16-bit PCM in native byte order. Each buffer's size is the number
/// of bytes wanted (when offered by the host) or filled (when handed back by the library).
using AudioBufferList = std::list<std::shared_ptr<std::vector<uint8_t>>>;

} // namespace Quillet
