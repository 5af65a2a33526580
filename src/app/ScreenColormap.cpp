#include "app/ScreenColormap.h"

#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QWindow>
#include <cstdlib>

#ifdef QUORVEL_WITH_XCB
#include <xcb/xcb.h>
#endif

namespace qv::app {

namespace {

#ifdef QUORVEL_WITH_XCB
xcb_connection_t* x11Connection() {
  if (!qGuiApp) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}
#endif

}  // namespace

std::unique_ptr<ScreenColormap> ScreenColormap::install() {
#ifdef QUORVEL_WITH_XCB
  if (!x11Connection()) return nullptr;
  std::unique_ptr<ScreenColormap> watch(new ScreenColormap);
  qGuiApp->installEventFilter(watch.get());
  for (QWindow* window : QGuiApplication::allWindows())
    if (window->handle()) adopt(*window);
  return watch;
#else
  return nullptr;
#endif
}

ScreenColormap::~ScreenColormap() {
  if (qGuiApp) qGuiApp->removeEventFilter(this);
}

void ScreenColormap::adopt([[maybe_unused]] QWindow& window) {
#ifdef QUORVEL_WITH_XCB
  xcb_connection_t* connection = x11Connection();
  if (!connection || !window.handle()) return;
  const auto id = xcb_window_t(window.winId());
  auto* attributes = xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, id), nullptr);
  auto* geometry = xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr);
  if (attributes && geometry) {
    for (auto screen = xcb_setup_roots_iterator(xcb_get_setup(connection)); screen.rem; xcb_screen_next(&screen)) {
      if (screen.data->root != geometry->root) continue;
      // A window in another visual (the viewer's OpenGL view) keeps the colormap made for it.
      if (attributes->visual == screen.data->root_visual && attributes->colormap != screen.data->default_colormap) {
        const std::uint32_t colormap = screen.data->default_colormap;
        xcb_change_window_attributes(connection, id, XCB_CW_COLORMAP, &colormap);
        xcb_flush(connection);
      }
      break;
    }
  }
  std::free(attributes);
  std::free(geometry);
#endif
}

bool ScreenColormap::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::PlatformSurface &&
      static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() == QPlatformSurfaceEvent::SurfaceCreated)
    if (auto* window = qobject_cast<QWindow*>(watched)) adopt(*window);
  return false;
}

}  // namespace qv::app
