// Where a minimised window draws its icon: centred in the client area, the
// odd pixel going right and down. Signed, truncating division on purpose, so
// an icon larger than the area lands as the platform's own painting would.
#pragma once

namespace q4m::app {

struct IconOrigin {
    int x;
    int y;
};

constexpr IconOrigin centredIconOrigin(int clientWidth, int clientHeight, int iconWidth,
                                       int iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

}  // namespace q4m::app
