"""Pictures and sound from files, URLs and RTSP cameras into NumPy, through the
Quillet media library's C interface.

    import quillet
    with quillet.open("rtsp://cam/stream", timeout=5.0) as player:
        for picture in player.pictures():
            picture.array   # height x width x 3 uint8 (BGR unless pixel_format="rgb24")
            picture.time    # seconds

Every wait, decode and conversion runs without the interpreter lock, so other
Python threads (and other players) run meanwhile. Event callbacks (on_event)
and log handlers (set_log_handler, log_to_logging) run on one dispatcher
thread of this module, never on a library or FFmpeg thread.
"""
import logging as _logging

from ._quillet import (
    AccessDenied,
    Client,
    Closed,
    EndOfStream,
    Error,
    Event,
    InvalidArgument,
    InvalidData,
    LibraryBuffer,
    LogLine,
    OpenError,
    OpenTimeout,
    Picture,
    Player,
    PublishingStatus,
    Recorder,
    RemotePlayer,
    Server,
    Sound,
    SourceNotFound,
    StateError,
    SyncPoint,
    Thumbnail,
    TimeoutError,
    Unreachable,
    WrongKind,
    build_description,
    open,
    set_log_configuration,
    set_log_handler,
    thumbnails,
    version,
)

__all__ = [
    "Client", "Closed", "EndOfStream", "Error", "Event", "LibraryBuffer", "OpenError", "Picture", "Player",
    "PublishingStatus", "Recorder", "RemotePlayer", "Server", "Sound", "SyncPoint", "TimeoutError",
    "build_description", "open", "set_log_configuration", "version", "LogLine", "set_log_handler",
    "log_to_logging", "AccessDenied", "InvalidArgument", "InvalidData", "OpenTimeout", "SourceNotFound",
    "StateError", "Unreachable", "WrongKind",
    "Thumbnail", "thumbnails",
]


def log_to_logging(level=_logging.WARNING):
    """Sends the library's log lines of `level` or more severe (FFmpeg's among them) to Python's
    logging, as records of the loggers "quillet.<category>" ("quillet.FFmpeg" for FFmpeg's own).
    log_to_logging(None) stops."""
    if level is None:
        set_log_handler(None)
        return

    def forward(line):
        _logging.getLogger("quillet." + line.category).log(line.level, "%s", line.text)

    set_log_handler(forward, level)
