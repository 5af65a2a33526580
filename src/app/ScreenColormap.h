// Gives every window of the program drawn in the screen's own visual the screen's own colormap.
//
// Qt's X11 windows each get a colormap that Qt creates, even in the root window's visual. A
// screenshot of the root window (`xwd -root`) reads a screen holding several visuals or colormaps
// window group by window group: every window sharing Qt's colormap is read through the lowest of
// them, so a window lying wholly inside another of the program's windows (the question whether to
// replace a file, over its save panel) came out as a black box, though the screen itself held it.
// With the screen's colormap those windows are read straight from the root window.
#pragma once

#include <QObject>
#include <memory>

class QWindow;

namespace qv::app {

class ScreenColormap : public QObject {
public:
  // Watches every window the program creates from now on; null when the display is not X11.
  static std::unique_ptr<ScreenColormap> install();
  ~ScreenColormap() override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  ScreenColormap() = default;
  static void adopt(QWindow& window);
};

}  // namespace qv::app
