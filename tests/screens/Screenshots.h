// The screens' window tests keep screenshots as test output, and each must show a picture.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <filesystem>

namespace qv::test {

// More than `minColours` distinct colours on a coarse grid: a drawn page, not a flat fill.
inline bool looksDrawn(const QImage& image, int minColours = 20) {
  if (image.isNull()) return false;
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
  return colours.size() > minColours;
}

// Repaints the widget and lets the events run, checks that it shows a picture, and saves it as
// "<name>.png" in $QUORVEL_SCREENSHOT_DIR when that is set.
inline void keepScreenshot(QWidget& widget, const QString& name, int minColours = 20) {
  widget.repaint();
  QApplication::processEvents();
  const QImage image = widget.grab().toImage();
  ASSERT_FALSE(image.isNull()) << name.toStdString();
  EXPECT_TRUE(looksDrawn(image, minColours)) << name.toStdString() << " looks blank";
  const QByteArray folder = qgetenv("QUORVEL_SCREENSHOT_DIR");
  if (folder.isEmpty()) return;
  std::filesystem::create_directories(folder.toStdString());
  EXPECT_TRUE(image.save(QString::fromUtf8(folder) + "/" + name + ".png")) << name.toStdString();
}

// The whole screen as the X server holds it (the root window, what a person sees, window manager
// frames and all), read with `xwd -root`; a null image when that cannot be run or read. A window's
// own grab would paint it afresh and so miss contents that never reach the screen.
inline QImage rootWindowImage() {
  QProcess xwd;
  xwd.start("xwd", {"-root", "-silent"});
  if (!xwd.waitForFinished(20000) || xwd.exitCode() != 0) return {};
  const QByteArray dump = xwd.readAllStandardOutput();
  // The XWD header: 25 big-endian 32-bit fields, then the window name, the colour map and the pixels.
  auto field = [&](int i) -> std::uint32_t {
    if (dump.size() < 100) return 0;
    const auto* b = reinterpret_cast<const unsigned char*>(dump.constData()) + 4 * i;
    return std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
  };
  const std::uint32_t headerSize = field(0), format = field(2), width = field(4), height = field(5),
                      byteOrder = field(7), bitsPerPixel = field(11), bytesPerLine = field(12), colours = field(19);
  const std::uint32_t masks[3] = {field(14), field(15), field(16)};
  const qint64 start = qint64(headerSize) + qint64(colours) * 12;
  if (format != 2 || bitsPerPixel != 32 || width == 0 || start + qint64(bytesPerLine) * height > dump.size()) return {};
  auto channel = [](std::uint32_t pixel, std::uint32_t mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    return int(((pixel & mask) >> shift) * 255 / (mask >> shift));
  };
  QImage image(int(width), int(height), QImage::Format_RGB32);
  for (std::uint32_t y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const unsigned char*>(dump.constData()) + start + qint64(y) * bytesPerLine;
    for (std::uint32_t x = 0; x < width; ++x) {
      const unsigned char* p = row + 4 * x;
      const std::uint32_t pixel = byteOrder == 0 ? std::uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24
                                                 : std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | std::uint32_t(p[3]);
      image.setPixel(int(x), int(y), qRgb(channel(pixel, masks[0]), channel(pixel, masks[1]), channel(pixel, masks[2])));
    }
  }
  return image;
}

}  // namespace qv::test
