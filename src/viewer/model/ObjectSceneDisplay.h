// What the viewer's rules ask of the screen that shows them, and of the application around it.
// The Qt widget implements the first, the application delegate the second; tests use fakes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "viewer/model/CleaningDisplay.h"
#include "viewer/model/SceneModel.h"

class QVLMeshingViewController;

namespace qv::viewer {

// The header buttons home, open, export, clean and align.
enum class HeaderButtons { ShownDisabled, ShownEnabled, MeshToolbar };
enum class RightPanel { Closed, Appearance, Cleaning };
enum class SaveChangesAnswer { Save, DontSave, Cancel };

// Which buttons of the export popover are shown.
struct ExportChoices {
  bool qvk = true;
  bool qvkx = false;
  bool texturedObj = false;
  friend bool operator==(const ExportChoices&, const ExportChoices&) = default;
};

// Every call comes on the main queue.
class ObjectSceneDisplay {
public:
  virtual ~ObjectSceneDisplay() = default;

  // Fades the busy view in (0.3 s) and calls `shown` once it is up; `dismiss` fades it out.
  virtual void showBusyView(const std::string& text, std::function<void()> shown) = 0;
  virtual void dismissBusyView(std::function<void()> dismissed) = 0;
  virtual void setPointCountLabel(const std::string& text) = 0;
  virtual void setHeaderButtons(HeaderButtons buttons) = 0;
  // The veils over the header that block its controls.
  virtual void setHeaderBlocked(bool blocked) = 0;
  virtual void setHomeButtonEnabled(bool enabled) = 0;
  virtual void setBackgroundColour(scene::Colour colour) = 0;
  virtual void reloadLayerTable() = 0;
  virtual void showRightPanel(RightPanel panel) = 0;
  virtual void showExportPopover(const ExportChoices& choices) = 0;
  virtual void closeExportPopover() = 0;
  virtual bool isExportPopoverShown() const = 0;
  // The scene changed: draw a new frame.
  virtual void setNeedsDisplay() = 0;
  virtual void setPointRendering(float pointSizePixels, bool smoothing) = 0;
  virtual void setWindowTitle(const std::string& title) = 0;

  // The view's size in points and its pixels per point.
  virtual float viewWidth() const = 0;
  virtual float viewHeight() const = 0;
  virtual double backingScale() const = 0;
  // The scene as the view draws it, RGB at pixel resolution; nothing when it cannot be drawn.
  virtual std::optional<scene::Image> sceneImage() = 0;

  virtual void askToSaveChanges(const std::string& informativeText, std::function<void(SaveChangesAnswer)> answer) = 0;
  // A save panel (prompt "Save Scan", the one allowed extension) opened in the folder of
  // `proposedPath` with its name filled in; nothing when cancelled.
  virtual void askForSavePath(const std::string& proposedPath, const std::string& extension,
                              std::function<void(std::optional<std::string>)> answer) = 0;
  virtual void showAlert(const std::string& message, const std::string& informativeText,
                         std::function<void()> dismissed) = 0;
  // The save panel's own question about a file that exists, "<name> already exists. Do you want
  // to replace it?", asked of another file the save would replace; true for Yes.
  virtual void askToReplaceFile(const std::string& fileName, std::function<void(bool replace)> answer) = 0;

  // The meshing sheet laid over the whole viewer (faded in), and its fade-out; `dismissed`
  // runs once it is gone.
  virtual void showMeshingSheet(const std::shared_ptr<QVLMeshingViewController>& /*sheet*/) {}
  virtual void dismissMeshingSheet(std::function<void()> dismissed) {
    if (dismissed) dismissed();
  }
  // The overlay that offers to save an unsaved mesh before the points come back.
  virtual void showSaveMeshView() {}
  virtual void dismissSaveMeshView() {}

  // The Clean panel: its open parts, its buttons, the crop values to read again, the brush
  // cursor and the points of the stroke being painted (none once it is resolved).
  virtual void showCleaningPanels(const CleaningPanels&) {}
  virtual void setCleaningButtons(const CleaningButtons&) {}
  virtual void cropValuesChanged() {}
  virtual void setBrushCursor(const BrushCursor&) {}
  virtual void setBrushStroke(const std::vector<BrushPoint>&, float /*radius*/) {}
};

// What the viewer asks of the application delegate.
class ObjectSceneDelegate {
public:
  virtual ~ObjectSceneDelegate() = default;
  // True while the application shows an open panel: header actions do nothing then.
  virtual bool resetApplicationStateForObjectSceneViewController() { return false; }
  virtual void openExistingScanForObjectSceneViewController() {}
  // Brings the main screen back.
  virtual void showHudScreenForObjectSceneViewController() {}
};

}  // namespace qv::viewer
