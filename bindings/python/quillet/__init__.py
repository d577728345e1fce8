"""Pictures and sound from files, URLs and RTSP cameras into NumPy, through the
Quillet media library's C interface.

    import quillet
    with quillet.open("rtsp://cam/stream", timeout=5.0) as player:
        for picture in player.pictures():
            picture.array   # height x width x 3 uint8 (BGR unless pixel_format="rgb24")
            picture.time    # seconds

Every wait, decode and conversion runs without the interpreter lock, so other
Python threads (and other players) run meanwhile. Event callbacks (on_event)
run on one dispatcher thread of this module, never on a library thread.
"""
from ._quillet import (
    Client,
    Closed,
    EndOfStream,
    Error,
    Event,
    LibraryBuffer,
    OpenError,
    Picture,
    Player,
    PublishingStatus,
    Recorder,
    RemotePlayer,
    Server,
    Sound,
    SyncPoint,
    TimeoutError,
    build_description,
    open,
    set_log_configuration,
    version,
)

__all__ = [
    "Client", "Closed", "EndOfStream", "Error", "Event", "LibraryBuffer", "OpenError", "Picture", "Player",
    "PublishingStatus", "Recorder", "RemotePlayer", "Server", "Sound", "SyncPoint", "TimeoutError",
    "build_description", "open", "set_log_configuration", "version",
]
