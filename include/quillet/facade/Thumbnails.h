#pragma once
// Pictures of a file at chosen times, at the size the application shows them
// (a timeline's thumbnail strip). Public header: standard library only.
//
// Threads: ExtractThumbnails runs on the calling thread, which it blocks until
// every time is done; it decodes on worker threads of its own (one per core
// by default, each with a demuxer and a decoder of its own) and calls the
// handler on the calling thread, one picture at a time, in the order they are
// ready, with no library lock held. Calls on several threads run side by side.
#include <functional>
#include <string>
#include <vector>

#include "../Export.h"
#include "FacadeTypes.h"

namespace Quillet::FFWrapperCLI {

/// What ExtractThumbnails is asked for.
struct ThumbnailRequest {
    /// Media times in seconds, on the clock of the pictures' own times (FrameData::frameTime); any
    /// order, repeats allowed. Empty: `count` times spread evenly over the duration, the first at
    /// the first picture.
    std::vector<double> times;
    /// How many times to spread when `times` is empty.
    int count = 0;
    /// The size, as FFWrapper::SetPictureSize: 0, 0 the coded size; one side 0 follows the other;
    /// both fit the picture inside the box with its display aspect ratio.
    int width = 0;
    /// The height of that box (see `width`).
    int height = 0;
    /// PixelFormat::BGR24 or PixelFormat::RGB24.
    int pixelFormat = PixelFormat::BGR24;
    /// False (the default): the key picture at or before each time, decoding nothing else, the
    /// fastest. True: the picture FFWrapper::Seek to that time shows (the first at or after it);
    /// times within one group of pictures share the decoding.
    bool exact = false;
    /// Decoding threads: 0 one per core.
    int workers = 0;
    /// Seconds one time may take before it is given up with an error.
    double timeout = 10.0;
};

/// One time's picture, or why there is none.
struct Thumbnail {
    /// Position of the time in the request's times (or in the spread).
    int index = 0;
    /// The time asked for.
    double requested = 0.0;
    /// The picture: its own time (frameTime), size and packed pixels; empty `frame` on error.
    FrameData picture;
    /// Empty when the picture is there; else why not ("seek failed: ...", "timed out",
    /// "no picture at or after this time", "damaged pictures: ...").
    std::string error;
};

/// Hands out one Thumbnail per time to `onThumbnail` as they are ready (see the header for the
/// thread). False, with the reason in `*failure` ("not found", "not a media file", "no video",
/// ...), when the source cannot be opened; then no handler call is made. An exception thrown by
/// the handler ends the extraction (the workers stop) and is passed on.
QUILLET_EXPORT bool ExtractThumbnails(const std::string& source, const ThumbnailRequest& request,
                                      const std::function<void(Thumbnail&)>& onThumbnail,
                                      std::string* failure = nullptr);

/// The same, collected: one Thumbnail per time in the order of the request's times; empty with
/// `*failure` set when the source cannot be opened.
QUILLET_EXPORT std::vector<Thumbnail> ExtractThumbnails(const std::string& source, const ThumbnailRequest& request,
                                                        std::string* failure = nullptr);

} // namespace Quillet::FFWrapperCLI
