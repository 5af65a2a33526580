// The screens' colours as Qt colours.
#pragma once

#include <QColor>

#include "screens/ControlRules.h"

namespace qv::screens {

inline QColor toQColor(const Rgba& c) { return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue), float(c.alpha)); }
inline QColor accentGreenColour(double alpha = 1.0) { return toQColor(accentGreen(alpha)); }

}  // namespace qv::screens
