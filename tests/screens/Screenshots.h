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

#include "support/WaitFor.h"

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

// The whole screen as a person's screenshot tool reads it: `xwd -root`, window manager frames and
// all (a null image when that fails). With several visuals or colormaps on the screen, xwd reads
// it window group by window group, in 3-byte pixels: it can differ from a plain read of the root.
inline QImage rootWindowImage() {
  QProcess xwd;
  xwd.start("xwd", {"-root", "-silent"});
  if (!xwd.waitForFinished(qv::test::kPatienceMs) || xwd.exitStatus() != QProcess::NormalExit || xwd.exitCode() != 0) return {};
  const QByteArray dump = xwd.readAllStandardOutput();
  const auto* bytes = reinterpret_cast<const unsigned char*>(dump.constData());
  auto field = [&](int i) {  // the header: big-endian 32-bit fields
    return std::uint32_t(bytes[4 * i]) << 24 | std::uint32_t(bytes[4 * i + 1]) << 16 | std::uint32_t(bytes[4 * i + 2]) << 8 | bytes[4 * i + 3];
  };
  if (dump.size() < 100 || field(2) != 2) return {};
  const qint64 width = field(4), height = field(5), lsbFirst = field(7) == 0, pixelBytes = field(11) / 8, line = field(12);
  const qint64 start = qint64(field(0)) + qint64(field(19)) * 12;  // past the name and the colours
  if ((pixelBytes != 3 && pixelBytes != 4) || line < pixelBytes * width || start + line * height > dump.size()) return {};
  auto channel = [](std::uint32_t pixel, std::uint32_t mask) {
    int shift = 0;
    while (mask && !((mask >> shift) & 1)) ++shift;
    return mask ? int(((pixel & mask) >> shift) * 255 / (mask >> shift)) : 0;
  };
  QImage image(int(width), int(height), QImage::Format_RGB32);
  for (qint64 y = 0; y < height; ++y)
    for (qint64 x = 0; x < width; ++x) {
      const unsigned char* p = bytes + start + y * line + x * pixelBytes;
      std::uint32_t pixel = 0;
      for (qint64 i = 0; i < pixelBytes; ++i) pixel |= std::uint32_t(p[i]) << 8 * (lsbFirst ? i : pixelBytes - 1 - i);
      image.setPixel(int(x), int(y), qRgb(channel(pixel, field(14)), channel(pixel, field(15)), channel(pixel, field(16))));
    }
  return image;
}

}  // namespace qv::test
