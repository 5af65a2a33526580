// The cleaning tools' edits of the display records: selection and removal flags with the undo
// step each action leaves, the reset, the crop fields' text, and applying the changes to a copy
// of the vertex buffer. Plain functions on plain buffers; nothing here touches the store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "store/Double3.h"
#include "store/QVLScanVertex.h"
#include "viewer/model/QVLSortableIndexEntry.h"

namespace qv::viewer {

// Why a point is not offered to auto-clean or the brush's selection: hidden or selected. The
// display cap only limits drawing: a capped point is still part of the scan.
inline constexpr std::uint16_t kCleaningHideMask = QVLPointFlags::HideMask & ~QVLPointFlags::BeyondDisplayCap;
// Why Apply drops a point: cropped, on a hidden layer or removed (never merely capped).
inline constexpr std::uint16_t kApplyRemovalMask = kCleaningHideMask & ~QVLPointFlags::Selected;
// The bits a cleaning action changes and its undo step restores.
inline constexpr std::uint16_t kCleaningEditMask = QVLPointFlags::Removed | QVLPointFlags::Selected;

// One record's edit bits before and after an action.
struct FlagEdit {
  std::uint32_t record = 0;
  std::uint16_t before = 0, after = 0;
};

// What one action changed, so that undo reverts exactly that action and nothing done before it.
struct CleaningStep {
  std::string name;  // the undo menu's name of the action
  std::vector<FlagEdit> edits;
  bool empty() const { return edits.empty(); }
};

// Collects the edits of one action while it changes the records.
class StepRecorder {
public:
  explicit StepRecorder(std::string name) { step_.name = std::move(name); }
  // Sets the record's edit bits to `editBits`, noting the change.
  void set(std::span<QVLSortableIndexEntry> records, std::uint32_t record, std::uint16_t editBits);
  CleaningStep take() { return std::move(step_); }

private:
  CleaningStep step_;
};

// One level of undo: the last action can be undone, and that undo redone once. A new action
// replaces what was there. Each step belongs to one vertex buffer; once the viewer holds another
// (a new scan, or applied changes) the step does nothing.
class CleaningHistory {
public:
  void record(CleaningStep step, const SharedData& owner);
  bool canUndo(const SharedData& owner) const;
  bool canRedo(const SharedData& owner) const;
  const std::string& name() const { return step_.name; }
  // Answer whether anything changed.
  bool undo(std::span<QVLSortableIndexEntry> records, const SharedData& owner);
  bool redo(std::span<QVLSortableIndexEntry> records, const SharedData& owner);
  void clear();

private:
  enum class State { Empty, Undoable, Redoable };
  bool owns(const SharedData& owner) const;
  State state_ = State::Empty;
  CleaningStep step_;
  std::weak_ptr<const Data> owner_;
};

// Every selected record that is not at the origin becomes removed.
CleaningStep deleteSelectedPoints(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records);
// Clears the selection of every record that is not at the origin.
CleaningStep clearSelectedPoints(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records);
// Marks the records named by `outliers` removed (numbers naming no record are skipped).
CleaningStep markRemoved(std::span<QVLSortableIndexEntry> records, std::span<const std::uint32_t> outliers,
                         std::string name);
// Brings back what auto-clean, deletion and hidden layers took away (the crop bits stay for the
// crop pass to set again). Answers how many records changed.
std::size_t clearRemovedAndHiddenFlags(std::span<QVLSortableIndexEntry> records);

// The records auto-clean looks at: present, shown or merely capped, not selected.
bool isAutoCleanCandidate(const QVLScanVertex& vertex, const QVLSortableIndexEntry& record);

// The result of applying the changes.
struct AppliedChanges {
  SharedData vertexData;        // the same number of records, removed ones zeroed
  std::uint64_t keptCount = 0;  // vertices left that are not at the origin
  std::uint64_t zeroedCount = 0;
  std::optional<Double3> homePosition;  // minus the mean kept position; none when nothing is kept
};
// A copy of the vertex buffer in which every vertex whose record says it was removed is zeroed
// (so vertex numbers stay valid). A vertex without a record is kept: only what the user removed
// is ever dropped.
AppliedChanges applyCleaning(std::span<const QVLScanVertex> vertices, std::span<const QVLSortableIndexEntry> records);

// The crop fields' text: one decimal, locale-free ("%.01f").
std::string cropValueText(float value);
// A field's text as a number: its leading number, 0 when it has none.
float cropValueFromText(const std::string& text);

}  // namespace qv::viewer
