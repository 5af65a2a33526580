// The cleaning tools' record edits, undo steps, Apply and crop texts.
#include "viewer/model/CleaningEdits.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/Format.h"
#include "platform/Text.h"
#include "viewer/model/DisplayRecords.h"

namespace qv::viewer {

void StepRecorder::set(std::span<QVLSortableIndexEntry> records, std::uint32_t record, std::uint16_t editBits) {
  std::uint16_t& flags = records[record].flags;
  const auto before = static_cast<std::uint16_t>(flags & kCleaningEditMask);
  const auto after = static_cast<std::uint16_t>(editBits & kCleaningEditMask);
  if (before == after) return;
  flags = static_cast<std::uint16_t>((flags & ~kCleaningEditMask) | after);
  step_.edits.push_back({record, before, after});
}

void CleaningHistory::record(CleaningStep step, const SharedData& owner) {
  step_ = std::move(step);
  owner_ = owner;
  state_ = step_.empty() ? State::Empty : State::Undoable;
}

bool CleaningHistory::owns(const SharedData& owner) const {
  const auto held = owner_.lock();
  return held && held == owner;
}

bool CleaningHistory::canUndo(const SharedData& owner) const { return state_ == State::Undoable && owns(owner); }
bool CleaningHistory::canRedo(const SharedData& owner) const { return state_ == State::Redoable && owns(owner); }

namespace {
void applyEdits(std::span<QVLSortableIndexEntry> records, const std::vector<FlagEdit>& edits, bool forward) {
  for (const FlagEdit& e : edits) {
    if (e.record >= records.size()) continue;
    std::uint16_t& flags = records[e.record].flags;
    flags = static_cast<std::uint16_t>((flags & ~kCleaningEditMask) | (forward ? e.after : e.before));
  }
}
}  // namespace

bool CleaningHistory::undo(std::span<QVLSortableIndexEntry> records, const SharedData& owner) {
  if (!canUndo(owner)) return false;
  applyEdits(records, step_.edits, false);
  state_ = State::Redoable;
  return true;
}

bool CleaningHistory::redo(std::span<QVLSortableIndexEntry> records, const SharedData& owner) {
  if (!canRedo(owner)) return false;
  applyEdits(records, step_.edits, true);
  // One level: a redone step cannot be undone again.
  state_ = State::Empty;
  return true;
}

void CleaningHistory::clear() {
  state_ = State::Empty;
  step_ = {};
  owner_.reset();
}

CleaningStep deleteSelectedPoints(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records) {
  StepRecorder step("Delete Points");
  const std::size_t n = std::min(vertices.size(), records.size());
  for (std::size_t i = 0; i < n; ++i)
    if ((records[i].flags & QVLPointFlags::Selected) && !isAtOrigin(vertices[i]))
      step.set(records, static_cast<std::uint32_t>(i), QVLPointFlags::Removed);
  return step.take();
}

CleaningStep clearSelectedPoints(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records) {
  StepRecorder step("Clear Selection");
  const std::size_t n = std::min(vertices.size(), records.size());
  for (std::size_t i = 0; i < n; ++i)
    if ((records[i].flags & QVLPointFlags::Selected) && !isAtOrigin(vertices[i]))
      step.set(records, static_cast<std::uint32_t>(i), records[i].flags & ~QVLPointFlags::Selected);
  return step.take();
}

CleaningStep markRemoved(std::span<QVLSortableIndexEntry> records, std::span<const std::uint32_t> outliers,
                         std::string name) {
  StepRecorder step(std::move(name));
  for (std::uint32_t r : outliers)
    if (r < records.size()) step.set(records, r, records[r].flags | QVLPointFlags::Removed);
  return step.take();
}

std::size_t clearRemovedAndHiddenFlags(std::span<QVLSortableIndexEntry> records) {
  constexpr std::uint16_t cleared = QVLPointFlags::Removed | QVLPointFlags::LayerHidden;
  std::size_t changed = 0;
  for (QVLSortableIndexEntry& r : records) {
    if (r.flags & cleared) ++changed;
    r.flags = static_cast<std::uint16_t>(r.flags & ~cleared);
  }
  return changed;
}

bool isAutoCleanCandidate(const QVLScanVertex& vertex, const QVLSortableIndexEntry& record) {
  return !isAtOrigin(vertex) && (record.flags & kCleaningHideMask) == 0;
}

AppliedChanges applyCleaning(std::span<const QVLScanVertex> vertices, std::span<const QVLSortableIndexEntry> records) {
  AppliedChanges result;
  auto copy = std::make_shared<Data>(vertices.size() * sizeof(QVLScanVertex));
  if (!vertices.empty()) std::memcpy(copy->data(), vertices.data(), copy->size());
  auto* out = reinterpret_cast<QVLScanVertex*>(copy->data());
  double sx = 0, sy = 0, sz = 0;
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    const QVLScanVertex& v = vertices[i];
    if (isAtOrigin(v)) continue;
    if (i < records.size() && (records[i].flags & kApplyRemovalMask)) {
      std::memset(static_cast<void*>(&out[i]), 0, sizeof(QVLScanVertex));
      ++result.zeroedCount;
      continue;
    }
    ++result.keptCount;
    sx += v.point3DX;
    sy += v.point3DY;
    sz += v.point3DZ;
  }
  if (result.keptCount > 0) {
    const double n = static_cast<double>(result.keptCount);
    const Double3 home{-sx / n, -sy / n, -sz / n};
    // A single point far out of range gives no usable centre either.
    if (std::isfinite(home.x) && std::isfinite(home.y) && std::isfinite(home.z)) result.homePosition = home;
  }
  result.vertexData = std::move(copy);
  return result;
}

std::string cropValueText(float value) { return qv::format("%.01f", static_cast<double>(value)); }

float cropValueFromText(const std::string& text) { return static_cast<float>(qv::text::leadingNumber(text)); }

}  // namespace qv::viewer
