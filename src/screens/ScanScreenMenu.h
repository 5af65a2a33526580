// The scan screen's items of the window's menu: each follows one of the screen's buttons.
#pragma once

namespace qv::screens {

class ScanScreenMenu {
public:
  // Tags of the items, in the order of their buttons.
  enum MenuTag { kPauseMenuTag = 402, kFinishMenuTag = 403, kCancelMenuTag = 404, kPlayMenuTag = 405, kDetailsMenuTag = 406 };
  struct ItemState {
    bool visible = true;
    bool enabled = true;
  };
  static bool isScanMenuTag(int tag) { return tag >= kPauseMenuTag && tag <= kDetailsMenuTag; }

  virtual ~ScanScreenMenu() = default;
  // An item shows and can be chosen exactly while its button shows; other tags are left alone.
  virtual ItemState validateMenuItem(int tag) const = 0;
  // Does what the item's button does, when its button shows.
  virtual void performMenuItem(int tag) = 0;
};

}  // namespace qv::screens
