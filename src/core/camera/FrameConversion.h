// Camera pixel formats turned into the BGRA frame the application works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Value.h"

namespace qv {

// YUYV 4:2:2 (Y0 U Y1 V for each pair of pixels), studio range BT.601, into BGRA with alpha 255.
// `bytesPerLine` may exceed width x 2 (padded rows); width must be even.
void convertYUYVToBGRA(const std::uint8_t* yuyv, int width, int height, std::size_t bytesPerLine, std::uint8_t* bgra);

// A Motion-JPEG frame (Huffman tables may be left out, as cameras do) decoded into BGRA with
// alpha 255; nothing when it does not decode to exactly width x height.
std::optional<Data> decodeMJPEGToBGRA(const std::uint8_t* jpeg, std::size_t length, int width, int height);

}  // namespace qv
