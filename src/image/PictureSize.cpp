#include "image/PictureSize.h"

#include <algorithm>
#include <cmath>

namespace Quillet::Image {

PictureSize FitPicture(PictureSize coded, int sarNum, int sarDen, PictureSize box)
{
    if (coded.width <= 0 || coded.height <= 0)
        return coded;
    const int boxWidth = std::clamp(box.width, 0, kMaxPictureSide);
    const int boxHeight = std::clamp(box.height, 0, kMaxPictureSide);
    if (boxWidth == 0 && boxHeight == 0)
        return coded;
    const double sar = sarNum > 0 && sarDen > 0 ? static_cast<double>(sarNum) / sarDen : 1.0;
    // Display width over height.
    const double aspect = coded.width * sar / coded.height;
    const auto side = [](double v) { return std::clamp(static_cast<int>(std::lround(v)), 1, kMaxPictureSide); };
    if (boxHeight == 0)
        return {boxWidth, side(boxWidth / aspect)};
    if (boxWidth == 0)
        return {side(boxHeight * aspect), boxHeight};
    // Both given: the side that binds keeps the box's size.
    if (static_cast<double>(boxWidth) / boxHeight > aspect)
        return {std::min(boxWidth, side(boxHeight * aspect)), boxHeight};
    return {boxWidth, std::min(boxHeight, side(boxWidth / aspect))};
}

} // namespace Quillet::Image
