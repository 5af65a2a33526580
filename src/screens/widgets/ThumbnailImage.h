// Reads a scan's thumbnail for the main screen's tiles. The viewer writes thumbnails as TIFF with
// OpenCV; Qt reads TIFF only through an image plug-in that a standard install may lack, so what
// Qt cannot read is read with OpenCV, which the program links in any case.
#pragma once

#include <QImage>
#include <filesystem>

namespace qv::screens {

// The picture in the file, or a null image when neither reader makes one of it. Safe on any
// thread (no pixmap is made).
QImage readThumbnail(const std::filesystem::path& file);
// Whether one of those readers takes the file, judged from its first bytes only: the main screen
// asks it of every scan in the library, so it must not decode the pictures.
bool canReadThumbnail(const std::filesystem::path& file);

}  // namespace qv::screens
