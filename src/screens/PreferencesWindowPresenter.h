// The preferences window's rules: one pane at a time chosen from a toolbar, with the window's
// corner, each pane's size and the last pane shown kept in the settings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/Settings.h"

namespace qv::screens {

struct PointF {
  double x = 0, y = 0;
  bool operator==(const PointF&) const = default;
};
struct SizeF {
  double width = 0, height = 0;
  bool operator==(const SizeF&) const = default;
};
struct RectF {
  PointF origin;
  SizeF size;
  bool operator==(const RectF&) const = default;
};

// The settings' text forms: "{x, y}" and "{{x, y}, {w, h}}"; nothing for any other text.
std::string stringFromPoint(PointF p);
std::string stringFromRect(RectF r);
std::optional<PointF> pointFromString(const std::string& text);
std::optional<RectF> rectFromString(const std::string& text);

// One pane as the window sees it; an entry without an identifier is a flexible space.
struct PreferencePane {
  std::string identifier;
  std::string label;
  SizeF designedSize;
  bool resizableWidth = false;
  bool resizableHeight = false;
  bool isPlaceholder() const { return identifier.empty(); }
};

class PreferencesWindowPresenter {
public:
  static constexpr const char* kTopLeftKey = "MASPreferences Frame Top Left";
  static constexpr const char* kSelectedKey = "MASPreferences Selected Identifier View";
  static constexpr const char* kFlexibleSpace = "NSToolbarFlexibleSpaceItem";
  // Posted (sender: the presenter) after each change of the pane shown.
  static constexpr const char* kDidChangeViewNotification = "MASPreferencesWindowControllerDidChangeViewNotification";
  static std::string paneFrameKey(const std::string& identifier) { return "MASPreferences " + identifier + " Frame"; }

  PreferencesWindowPresenter(std::vector<PreferencePane> panes, std::string title, qv::Settings& settings);

  const std::vector<PreferencePane>& panes() const { return panes_; }
  std::vector<std::string> toolbarItemIdentifiers() const;
  std::optional<std::size_t> indexOfIdentifier(const std::string& identifier) const;
  std::optional<std::size_t> firstPaneIndex() const;
  // The pane to show when the window loads: the one stored last time, else the first.
  std::optional<std::size_t> initialSelection() const;
  std::optional<std::size_t> selectedIndex() const { return selected_; }
  // Where to put the window's top-left corner, when it was moved in an earlier run.
  std::optional<PointF> storedTopLeft() const;
  // The window title: the given title, else the selected pane's label.
  std::string windowTitle() const;

  // What showing a pane asks of the window.
  struct PaneLayout {
    SizeF contentSize;
    SizeF minimumContentSize;
    std::optional<SizeF> maximumContentSize;  // nothing when it may grow without limit both ways
    bool widthGrows = false, heightGrows = false;
    bool resizable() const { return widthGrows || heightGrows; }
  };
  // Selects the pane (stored as the last one shown) and lays it out from its saved and minimum
  // sizes; nothing when the index is out of range, a placeholder, or already selected.
  std::optional<PaneLayout> select(std::size_t index);
  std::optional<std::size_t> nextIndex() const;
  std::optional<std::size_t> previousIndex() const;

  void windowDidMove(PointF topLeft);
  void paneDidResize(SizeF size);

private:
  std::vector<PreferencePane> panes_;
  std::string title_;
  qv::Settings& settings_;
  std::optional<std::size_t> selected_;
  std::vector<std::optional<SizeF>> minimumSizes_;
};

}  // namespace qv::screens
