// The calibration wizard tests' screenshots: kept as test output, and each must show a picture.
#pragma once

#include <QTest>

#include "screens/Screenshots.h"

namespace qv::screens {

// Saves "calibration-<name>.png" after letting the animations move on; a wizard page is mostly
// plain panels, so fewer colours make a picture.
inline void wizardScreenshot(QWidget& page, const QString& name) {
  QTest::qWait(120);
  qv::test::keepScreenshot(page, "calibration-" + name, 8);
}

}  // namespace qv::screens
