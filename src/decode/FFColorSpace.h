#pragma once
// Turns decoded pictures into the pixel format the application asked for, at
// the decoded size or at the size the application shows them (see
// image/PictureSize.h), into one output picture that is reused for every
// call, or straight into the application's own buffer when the read brings
// one. Scaling happens in the same pass: 4:2:0 pictures are scaled plane by
// plane and then packed by the one-pass primitive; other formats go through
// the general scaler, which scales as it converts.
// Used only by the decoder on the application's reading thread (under the
// decoder's lock); holds no lock of its own (the band helpers, when asked
// for, keep theirs inside BandedConversion). Formats and sizes the scaler
// cannot take are refused before it ever sees them.
#include <cstdint>
#include <memory>

#include "core/FFFrame.h"
#include "decode/PictureTarget.h"
#include "events/FFMessageClient.h"
#include "image/BandedConversion.h"
#include "image/ImagePrimitives.h"
#include "image/PictureSize.h"
#include "image/ScaledPlanes.h"

struct SwsContext;

namespace Quillet {

struct SwsContextDeleter {
    void operator()(SwsContext* c) const;
};
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

class FFColorSpace : public FFMessageClient {
public:
    FFColorSpace();
    FFColorSpace(const FFColorSpace&) = delete;
    FFColorSpace& operator=(const FFColorSpace&) = delete;

    // Chooses the conversion route for one source format and size and sizes
    // the output picture. Formats are AVPixelFormat numbers.
    void Initialize(int srcFormat, int width, int height, int dstFormat);
    // The size pictures are handed out at (0 x 0: the decoded size; see
    // Image::FitPicture); applies from the next Convert.
    void SetPictureBox(int width, int height) { _box = {width, height}; }
    // Converts one decoded picture; returns the same output object every time
    // (valid until the next call), or null when the picture's format or size
    // cannot be converted. Follows size changes by re-initialising.
    // With a target the pixels go straight into the target's storage and the
    // returned picture lies over it (the target's own output object).
    std::shared_ptr<FFBufferFrame> Convert(const FFFrame& src, PictureTarget* target = nullptr);

    // Threads that convert further bands of a large picture on the image
    // primitive's route alongside the reading thread (0: one pass).
    void SetConversionHelpers(int helpers);
    int ConversionHelpers() const { return _bands ? _bands->Helpers() : 0; }

    // Whether the pair of formats and the size can be converted at all.
    static bool CanConvert(int srcFormat, int width, int height, int dstFormat);

    // The decoded size, and the size pictures are handed out at.
    int Width() const { return _width; }
    int Height() const { return _height; }
    Image::PictureSize OutputSize() const { return _out; }
    int SourceFormat() const { return _srcFormat; }
    int DestinationFormat() const { return _dstFormat; }
    // Which route is chosen: the image primitive or the general scaler.
    bool UsesImagePrimitive() const { return _primitive != nullptr; }
    bool UsesScaler() const { return _swsContext != nullptr; }

private:
    void ChooseRoute();
    void SizeOutput();
    // Re-initialises on a size or format change; false when the picture cannot be converted.
    bool FollowSource(const AVFrame* f);
    bool Scales() const { return _out.width != _width || _out.height != _height; }
    // False when the picture could not be scaled.
    bool ConvertInto(const AVFrame* f, AVFrame* out);

    // The chosen route and its output; the reading thread's, under the
    // decoder's lock (see the header).
    int32_t _height = -1;
    int32_t _width = -1;
    std::shared_ptr<FFBufferFrame> _outFrame;
    std::shared_ptr<TargetFrame> _targetFrame;
    SwsContextPtr _swsContext;
    int32_t _srcFormat = -1;
    int32_t _dstFormat = -1;
    Image::PlanarToPackedRoutine _primitive = nullptr;
    // The size asked for, the sample aspect ratio it was fitted with and the
    // size handed out; the planes scaled on the primitive's route.
    Image::PictureSize _box;
    int _sarNum = 0;
    int _sarDen = 0;
    Image::PictureSize _out;
    Image::ScaledPlanes _scaled;
    // Set when helpers are asked for; a small picture still goes in one pass.
    std::unique_ptr<Image::BandedConversion> _bands;
};

} // namespace Quillet
