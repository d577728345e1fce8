#pragma once
// The size a picture is handed out at, from the size the application asked
// for: 0 x 0 is the coded size; one side 0 follows the other with the
// display aspect ratio (the sample aspect ratio applied); both sides given fit
// the picture inside that box with its display aspect ratio.
//
// Pure function: any thread, no shared state.

namespace Quillet::Image {

struct PictureSize {
    int width = 0;
    int height = 0;
    bool operator==(const PictureSize&) const = default;
};

// The largest side handed out; a box past it is clamped.
constexpr int kMaxPictureSide = 16384;

// `coded` is the decoded size; `sarNum`/`sarDen` the sample aspect ratio
// (0 or negative: square samples); `box` the size asked for (0 x 0: coded).
// Every side comes out at least 1.
PictureSize FitPicture(PictureSize coded, int sarNum, int sarDen, PictureSize box);

} // namespace Quillet::Image
