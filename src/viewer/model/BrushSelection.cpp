// The cleaning brush over the search cloud's octree.
#include "viewer/model/internal/SearchCloudImpl.h"
#include <pcl/octree/impl/octree_base.hpp>
#include <pcl/octree/impl/octree_pointcloud.hpp>

#include "viewer/model/BrushSelection.h"

#include <algorithm>
#include <cmath>

#include "platform/Log.h"
#include "viewer/model/DisplayRecords.h"

namespace qv::viewer {

namespace {

constexpr float kUnbounded = 3.0e38f;
// Rectangles grow by this much, so a point on its box's face that rounding projects a hair
// outside the corners' rectangle still reaches the point test.
constexpr float kRectMargin = 1.0e-3f;
// A cached screen position for a point behind the camera: never within any brush.
constexpr double kNowhere = -1.0e30;

struct Rect {
  float minX, minY, maxX, maxY;
};

Rect rectOf(const QVLScreenRect& r) {
  return {std::min(r[0].x(), r[1].x()), std::min(r[0].y(), r[1].y()), std::max(r[0].x(), r[1].x()),
          std::max(r[0].y(), r[1].y())};
}

bool meetsAnySquare(const Rect& node, std::span<const BrushPoint> brush, float s) {
  for (const BrushPoint& p : brush)
    if (node.maxX > p.x - s && p.x + s > node.minX && node.maxY > p.y - s && p.y + s > node.minY) return true;
  return false;
}

void collectIn(pcl::octree::OctreeNode* node, std::span<const BrushPoint> brush, float s,
               std::vector<std::int32_t>& out) {
  if (!node) return;
  if (node->getNodeType() == pcl::octree::LEAF_NODE) {
    auto& leaf = static_cast<QVLOctree::LeafNode*>(node)->getContainer();
    if (!meetsAnySquare(rectOf(leaf.rect), brush, s)) return;
    const auto& indices = leaf.getPointIndicesVector();
    out.insert(out.end(), indices.begin(), indices.end());
    return;
  }
  auto* branch = static_cast<QVLOctree::BranchNode*>(node);
  if (!meetsAnySquare(rectOf(branch->getContainer().rect), brush, s)) return;
  for (unsigned char child = 0; child < 8; ++child)
    if (branch->hasChild(child)) collectIn(branch->getChildPtr(child), brush, s, out);
}

}  // namespace

bool sameView(const ViewSnapshot& a, const ViewSnapshot& b) {
  return a.valid == b.valid && a.width == b.width && a.height == b.height && a.objectWorld == b.objectWorld &&
         a.cameraWorld == b.cameraWorld && a.camera.fieldOfViewYDegrees == b.camera.fieldOfViewYDegrees &&
         a.camera.zNear == b.camera.zNear && a.camera.zFar == b.camera.zFar;
}

bool projectOctreeNodes(SearchCloud& cloud, const ViewProjector& project, const std::function<bool()>& viewChanged) {
  std::lock_guard<std::mutex> lock(cloud.impl().mutex);
  auto& octree = cloud.impl().octree;
  if (!octree) return !viewChanged();
  Eigen::Vector3f lo, hi;
  for (auto it = octree->depth_begin(); it != octree->depth_end(); ++it) {
    if (viewChanged()) return false;
    octree->getVoxelBounds(it, lo, hi);
    Rect r{kUnbounded, kUnbounded, -kUnbounded, -kUnbounded};
    bool folded = false;
    for (int corner = 0; corner < 8 && !folded; ++corner) {
      const ViewPoint p = project({corner & 4 ? hi.x() : lo.x(), corner & 2 ? hi.y() : lo.y(), corner & 1 ? hi.z() : lo.z()});
      folded = !p.inFront;
      r.minX = std::min(r.minX, p.x);
      r.minY = std::min(r.minY, p.y);
      r.maxX = std::max(r.maxX, p.x);
      r.maxY = std::max(r.maxY, p.y);
    }
    if (folded) r = {-kUnbounded, -kUnbounded, kUnbounded, kUnbounded};
    QVLScreenRect& rect = it.isBranchNode() ? it.getBranchContainer().rect : it.getLeafContainer().rect;
    rect[0] = {r.minX - kRectMargin, r.minY - kRectMargin};
    rect[1] = {r.maxX + kRectMargin, r.maxY + kRectMargin};
  }
  return !viewChanged();
}

namespace {
std::vector<std::int32_t> collectUnlocked(SearchCloud& cloud, std::span<const BrushPoint> brush, float size) {
  std::vector<std::int32_t> out;
  auto& octree = cloud.impl().octree;
  if (!octree || brush.empty() || cloud.size() == 0) return out;
  collectIn(octree->depth_begin().getCurrentOctreeNode(), brush, size, out);
  return out;
}
}  // namespace

std::vector<std::int32_t> collectBrushedOctreeIndices(SearchCloud& cloud, std::span<const BrushPoint> brush,
                                                      float size) {
  std::lock_guard<std::mutex> lock(cloud.impl().mutex);
  return collectUnlocked(cloud, brush, size);
}

std::size_t markBrushedPoints(SearchCloud& cloud, std::span<QVLSortableIndexEntry> records,
                              std::span<const BrushPoint> brush, float size, std::int32_t projectionId,
                              const ViewProjector& project) {
  std::lock_guard<std::mutex> lock(cloud.impl().mutex);
  std::size_t marked = 0;
  bool warned = false;
  auto points = collectUnlocked(cloud, brush, size);
  // Cloud points and records both lie in vertex order: visited in that order, the walk through
  // two large arrays runs forwards instead of jumping about.
  std::sort(points.begin(), points.end());
  const auto& positions = *cloud.impl().cloud;
  for (std::int32_t k : points) {
    if (k < 0 || static_cast<std::size_t>(k) >= positions.size()) continue;
    const QVLPclPoint& point = positions[static_cast<std::size_t>(k)];
    const std::int32_t v = point.index;
    if (v < 0 || static_cast<std::size_t>(v) >= records.size()) {
      if (!warned) QVLogWarn("Out of range!");
      warned = true;
      continue;
    }
    QVLSortableIndexEntry& record = records[static_cast<std::size_t>(v)];
    // Points cropped away, on a hidden layer or removed are not on screen to be brushed; capped
    // ones are, as part of the surface the stroke covers.
    if (record.flags & (QVLPointFlags::UnderBrush | kApplyRemovalMask)) continue;
    if (record.projectionId != projectionId || record.screenX == 0 || record.screenY == 0) {
      const ViewPoint p = project({point.x, point.y, point.z});
      record.screenX = p.inFront ? p.x : kNowhere;
      record.screenY = p.inFront ? p.y : kNowhere;
      record.projectionId = projectionId;
    }
    for (const BrushPoint& b : brush) {
      const double dx = record.screenX - b.x, dy = record.screenY - b.y;
      if (std::sqrt(dx * dx + dy * dy) < size) {
        record.flags |= QVLPointFlags::UnderBrush;
        ++marked;
        break;
      }
    }
  }
  return marked;
}

std::string brushActionName(int action) {
  switch (action) {
    case AddToSelection: return "Add Points";
    case ReplaceSelection: return "Select Points";
    case RemoveFromSelection: return "Remove Points";
    default: return {};
  }
}

CleaningStep resolveSelectedPoints(std::span<QVLSortableIndexEntry> records, int action) {
  StepRecorder step(brushActionName(action));
  const bool known = action == AddToSelection || action == ReplaceSelection || action == RemoveFromSelection;
  const std::uint16_t touched = QVLPointFlags::UnderBrush | (action == ReplaceSelection ? QVLPointFlags::Selected : 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    QVLSortableIndexEntry& r = records[i];
    if (!(r.flags & touched)) continue;
    const bool brushed = r.flags & QVLPointFlags::UnderBrush;
    r.flags = static_cast<std::uint16_t>(r.flags & ~QVLPointFlags::UnderBrush);
    if (!known) continue;
    std::uint16_t bits = r.flags & kCleaningEditMask;
    if (action == ReplaceSelection) bits &= ~QVLPointFlags::Selected;
    if (brushed) bits = action == RemoveFromSelection ? bits & ~QVLPointFlags::Selected : bits | QVLPointFlags::Selected;
    step.set(records, static_cast<std::uint32_t>(i), bits);
  }
  return step.take();
}

BrushCursor brushCursorFor(int state, int action, std::uint64_t brushSize) {
  BrushCursor c;
  if (state == 5) {
    c.kind = BrushCursor::Kind::ClosedHand;
    return c;
  }
  if (state != 3 && state != 4) return c;
  const double s = static_cast<double>(brushSize);
  c.kind = BrushCursor::Kind::Brush;
  c.imageSize = 2 * s + 12;
  // The circle's 2s box stands 10 above the image's bottom edge, inset by 1.
  c.circleX = 1;
  c.circleY = c.imageSize - 10 - 2 * s + 1;
  c.circleSize = 2 * s - 2;
  if (action == AddToSelection || action == RemoveFromSelection) c.sign.assign(1, action == AddToSelection ? '+' : '-');
  c.signLeft = 2 * s - 4;
  c.signBottom = c.imageSize;
  c.hotSpotX = s - 0.5;
  c.hotSpotY = s + 1.0;
  return c;
}

}  // namespace qv::viewer
