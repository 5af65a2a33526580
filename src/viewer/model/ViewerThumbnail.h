// The viewer's thumbnail of a scan: the centred square of the scene image at 220 x 220, as TIFF.
#pragma once

#include <string>

#include "viewer/model/SceneModel.h"

namespace qv::viewer {

inline constexpr int kThumbnailSide = 220;

// Writes the thumbnail of an RGB image (rows top-down) to the path, atomically (a file beside it
// is renamed over the path once complete). False when the image is empty or the file cannot be
// written.
bool writeThumbnail(const scene::Image& image, const std::string& path);

}  // namespace qv::viewer
