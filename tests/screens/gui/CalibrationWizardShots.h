// The calibration wizard tests' screenshots: kept as test output, and each must show a picture.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <QSet>
#include <QTest>
#include <QWidget>
#include <filesystem>

namespace qv::screens {

// Many distinct colours: a drawn page, not a flat fill.
inline bool looksDrawn(const QImage& image) {
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 4)
    for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
  return colours.size() > 8;
}

// Saves "calibration-<name>.png" into QUORVEL_SCREENSHOT_DIR after letting the animations move on.
inline void wizardScreenshot(QWidget& page, const QString& name) {
  QTest::qWait(120);
  page.repaint();
  QImage image = page.grab().toImage();
  EXPECT_TRUE(looksDrawn(image)) << name.toStdString() << " looks blank";
  const QByteArray folder = qgetenv("QUORVEL_SCREENSHOT_DIR");
  if (folder.isEmpty()) return;
  std::filesystem::create_directories(folder.toStdString());
  EXPECT_TRUE(image.save(QString::fromUtf8(folder) + "/calibration-" + name + ".png"));
}

}  // namespace qv::screens
