// What the application core asks of the 3D viewer screen. The viewer implements it; the core
// holds it without knowing the widgets behind it.
#pragma once

#include <functional>

#include "store/ObjectID.h"

class QVLObjectSceneViewControllerInterface {
public:
  virtual ~QVLObjectSceneViewControllerInterface() = default;

  // Loads the stored scan into the viewer (a busy view first, the point work on the viewer's own
  // queue); returns at once.
  virtual void loadScan(const qv::ObjectID& scan) = 0;
  // Closes the right panel and saves the viewer state of the scan shown.
  virtual void resetViewer() = 0;
  // True only when no brush cleaning is active, the aligning screen is not shown, loading is done,
  // no save runs and no meshed object is shown.
  virtual bool canOpenFile() const = 0;
  // Shows the header controls again.
  virtual void enableHeaderUI() = 0;
  // Marks the screen projection stale after the window changed size.
  virtual void windowDidResize() = 0;
  // True when a mesh was made and not yet saved.
  virtual bool meshNeedsSaving() const = 0;
  // With unsaved point edits, asks the user "Save Changes" (Save, Don't Save, Cancel). Don't Save
  // discards the edits and calls the completion with false; Cancel calls it with true; Save calls
  // it when the save ends: false when saved, true when it failed, so a waiting quit is always
  // answered. With nothing unsaved the completion gets false at once.
  virtual void saveAnyUnsavedChanges(std::function<void(bool userCancelled)> completion) = 0;
};
