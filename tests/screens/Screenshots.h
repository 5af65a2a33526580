// The screens' window tests keep screenshots as test output, and each must show a picture.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSet>
#include <QString>
#include <QWidget>
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

}  // namespace qv::test
