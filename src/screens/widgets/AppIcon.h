// The application's icon, drawn in code so the window, the About box and the tests need no image
// files (the desktop files under resources/icons carry the same drawing as SVG).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace qv::screens {

QPixmap appIconPixmap(int size);
QIcon appIcon();

}  // namespace qv::screens
