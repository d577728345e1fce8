#pragma once
// The numbers that events carry, defined once for the nodes that raise them
// and for the facades that hand them to the application (which see them as
// Quillet::FFWrapperCLI::FFMessageType and ConnectionStatus). Their values are
// fixed: they travel on the wire and through the facade.
// Public header: standard library only. Plain values, any thread.
#include <cstdint>

namespace Quillet {

/// What an FFMessageEventArgs reports.
enum class FFMessageType : int32_t {
    NoError = 0,         ///< Nothing went wrong.
    FileSinkError = 1,   ///< Writing the recorded file failed; recording stops.
    SourceError = 2,     ///< Reading a file or URL failed; the source is closed.
    RTSPSourceError = 3, ///< The camera connection failed; the source is closed.
    EndOfStream = 4,     ///< The last picture of the source has been handed out.
    SyncPointReady = 5,  ///< A sync point is ready (delivered as SyncPointEventArgs).
    StreamRefused = 6,   ///< One stream (video or audio) cannot be decoded or converted and is
                         ///< given up; the other plays on.
    RecordingFellBehind = 7, ///< A recording's disk fell behind a live source: what it could not
                             ///< take was given up and recording goes on from the next key picture.
};

/// State of a live camera connection, reported by SourceConnectionStatusArgs.
enum class ConnectionStatus : int32_t {
    Connected = 0,      ///< Streaming (again).
    Disconnected = 1,   ///< Not connected.
    ConnectionLost = 2, ///< The connection broke; the library reconnects on its own.
};

} // namespace Quillet
