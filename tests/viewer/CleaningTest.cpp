// The cleaning tools: the view-space brush against brute force, the projection pass, selection
// and one level of undo, statistical auto-clean against an exhaustive search, Apply, and the
// Clean panel on a loaded scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>

#include "viewer/ViewerControllerFixture.h"
#include "viewer/model/AutoClean.h"
#include "viewer/model/BrushSelection.h"
#include "viewer/model/CleaningEdits.h"
#include "viewer/model/DisplayRecords.h"
#include "viewer/model/ViewerNavigation.h"

using namespace qv::viewer;
namespace scene = qv::scene;

namespace {

// The viewer's default view: camera 100 in front of the object, 400 x 300 points.
ViewSnapshot frontView(float pitch = 0) {
  ViewSnapshot view;
  view.cameraWorld = cameraTransform(pitch, {0, 0, 100});
  view.camera = scene::Camera{60, 0.1f, 600};
  view.width = 400;
  view.height = 300;
  view.valid = true;
  return view;
}

std::set<std::size_t> flagged(const std::vector<QVLSortableIndexEntry>& records, std::uint16_t flag) {
  std::set<std::size_t> out;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].flags & flag) out.insert(i);
  return out;
}

// A 200 x 200 grid in front and a sheet of the same size 10 behind it, which the front hides.
struct GridScene {
  std::vector<QVLScanVertex> vertices{QVLScanVertex{}};
  std::vector<QVLSortableIndexEntry> records;
  SearchCloud cloud;
  GridScene() {
    for (float z : {0.0f, -10.0f})
      for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 200; ++j) vertices.push_back(vertexAt(-20 + i * 0.2f, -15 + j * 0.15f, z));
    records = buildSortableIndexEntries(vertices, {});
    cloud.rebuild(vertices);
  }
};

}  // namespace

TEST(CleaningBrush, MarksExactlyWhatBruteForceFindsOnBothSheetsAndOnlyOnce) {
  GridScene grid;
  const ViewSnapshot view = frontView(0.3f);
  const ViewProjector project(view);
  ASSERT_TRUE(projectOctreeNodes(grid.cloud, project, [] { return false; }));

  const std::vector<BrushPoint> stroke{{190, 140}, {201.5f, 146.25f}, {230, 170}, {-50, 10}};
  const float size = 6;
  EXPECT_GT(markBrushedPoints(grid.cloud, grid.records, stroke, size, 1, project), 0u);
  std::set<std::size_t> expected;
  for (std::size_t v = 1; v < grid.vertices.size(); ++v) {
    const ViewPoint p = projectPoint(view, {grid.vertices[v].point3DX, grid.vertices[v].point3DY, grid.vertices[v].point3DZ});
    for (const BrushPoint& b : stroke)
      if (std::hypot(double(p.x) - b.x, double(p.y) - b.y) < size) expected.insert(v);
  }
  const auto marked = flagged(grid.records, QVLPointFlags::UnderBrush);
  EXPECT_EQ(marked, expected);
  EXPECT_TRUE(std::any_of(marked.begin(), marked.end(), [](std::size_t v) { return v > 40'000; }))
      << "the sheet behind is brushed too";
  EXPECT_EQ(markBrushedPoints(grid.cloud, grid.records, stroke, size, 1, project), 0u) << "already under the brush";

  // Strictly closer than the size: a point exactly `size` away is not brushed, 0.01 less is.
  const std::size_t v = 20'102;  // (0, 0.15, 0)
  const ViewPoint p = project({grid.vertices[v].point3DX, grid.vertices[v].point3DY, grid.vertices[v].point3DZ});
  const BrushPoint exactlyS{p.x + 8.0f, p.y}, nearlyS{p.x + 7.99f, p.y};
  ASSERT_EQ(double(exactlyS.x) - p.x, 8.0);
  auto fresh = buildSortableIndexEntries(grid.vertices, {});
  markBrushedPoints(grid.cloud, fresh, std::vector{exactlyS}, 8, 1, project);
  EXPECT_FALSE(fresh[v].flags & QVLPointFlags::UnderBrush);
  EXPECT_EQ(fresh[v].projectionId, 1) << "its position is kept for the rest of the view";
  markBrushedPoints(grid.cloud, fresh, std::vector{nearlyS}, 8, 1, project);
  EXPECT_TRUE(fresh[v].flags & QVLPointFlags::UnderBrush);

  // Hidden points are not on screen to be brushed; a removed one stays out of the selection.
  auto hidden = buildSortableIndexEntries(grid.vertices, {});
  for (auto& rec : hidden) rec.flags |= QVLPointFlags::Removed;
  EXPECT_EQ(markBrushedPoints(grid.cloud, hidden, stroke, size, 1, project), 0u);
}

TEST(CleaningBrush, AViewChangeAbandonsThePassAndTheNextCompletes) {
  GridScene grid;
  const ViewProjector project(frontView());
  int asked = 0;
  EXPECT_FALSE(projectOctreeNodes(grid.cloud, project, [&] { return ++asked == 40; }));
  EXPECT_EQ(asked, 40);
  EXPECT_TRUE(projectOctreeNodes(grid.cloud, project, [] { return false; }));
  // With the camera among the points the projection folds; the brush still finds them all.
  ViewSnapshot inside = frontView();
  inside.cameraWorld = cameraTransform(0, {0, 0, -5});
  const ViewProjector folded(inside);
  ASSERT_TRUE(projectOctreeNodes(grid.cloud, folded, [] { return false; }));
  const std::vector<BrushPoint> stroke{{200, 150}};
  markBrushedPoints(grid.cloud, grid.records, stroke, 30, 2, folded);
  std::size_t expected = 0;
  for (std::size_t v = 1; v < grid.vertices.size(); ++v) {
    const ViewPoint p = projectPoint(inside, {grid.vertices[v].point3DX, grid.vertices[v].point3DY, grid.vertices[v].point3DZ});
    expected += p.inFront && std::hypot(p.x - 200.0, p.y - 150.0) < 30;
  }
  EXPECT_GT(expected, 0u);
  EXPECT_EQ(flagged(grid.records, QVLPointFlags::UnderBrush).size(), expected);
}

TEST(CleaningBrush, ActionsOnTheSelectionAndUndoRevertsExactlyTheLastAction) {
  // Records 1..3 are A (under the brush), 4..5 are B (selected before).
  std::vector<QVLScanVertex> vertices{QVLScanVertex{}};
  for (int i = 1; i <= 6; ++i) vertices.push_back(vertexAt(float(i), 1, 1));
  const auto start = [&] {
    auto records = buildSortableIndexEntries(vertices, {});
    for (int a : {1, 2, 3}) records[a].flags |= QVLPointFlags::UnderBrush;
    for (int b : {4, 5}) records[b].flags |= QVLPointFlags::Selected;
    return records;
  };
  const std::set<std::size_t> a{1, 2, 3}, b{4, 5}, ab{1, 2, 3, 4, 5};
  for (auto [action, selected] : {std::pair{AddToSelection, ab}, {ReplaceSelection, a}, {RemoveFromSelection, b}}) {
    auto records = start();
    const CleaningStep step = resolveSelectedPoints(records, action);
    EXPECT_EQ(flagged(records, QVLPointFlags::Selected), selected) << action;
    EXPECT_TRUE(flagged(records, QVLPointFlags::UnderBrush).empty());
    EXPECT_EQ(step.name, brushActionName(action));
  }

  auto records = start();
  const auto owner = vertexBytes(vertices);
  CleaningHistory history;
  history.record(resolveSelectedPoints(records, ReplaceSelection), owner);
  history.record(deleteSelectedPoints(vertices, records), owner);
  EXPECT_EQ(flagged(records, QVLPointFlags::Removed), a);
  EXPECT_EQ(history.name(), "Delete Points");
  // Undo takes back the deletion only: the stroke's selection before it stays.
  ASSERT_TRUE(history.undo(records, owner));
  EXPECT_TRUE(flagged(records, QVLPointFlags::Removed).empty());
  EXPECT_EQ(flagged(records, QVLPointFlags::Selected), a);
  ASSERT_TRUE(history.redo(records, owner));
  EXPECT_EQ(flagged(records, QVLPointFlags::Removed), a);
  EXPECT_FALSE(history.undo(records, owner)) << "one level: a redone step is not undone again";
  EXPECT_FALSE(history.redo(records, owner));
  // A step belongs to its vertex buffer: after Apply (a new buffer) it does nothing.
  history.record(clearSelectedPoints(vertices, records), owner);
  EXPECT_FALSE(history.canUndo(vertexBytes(vertices)));
}

TEST(CleaningAutoClean, FlagsTheOutliersOfAJitteredPlaneAsAnExhaustiveSearchDoes) {
  std::mt19937 random(7);
  std::normal_distribution<float> jitter(0, 0.02f);
  std::uniform_real_distribution<float> anywhere(-30, 30);
  std::vector<scene::Vec3> points;
  for (int i = 0; i < 60; ++i)
    for (int j = 0; j < 50; ++j) points.push_back({i * 0.5f, j * 0.5f, jitter(random)});
  std::set<std::size_t> outliers;
  for (int k = 0; k < 20; ++k) {
    outliers.insert(points.size());
    points.push_back({anywhere(random), anywhere(random), 25 + std::abs(anywhere(random))});
  }
  points.push_back({NAN, 0, 0});  // takes no part

  // The statistic by exhaustive search, summed as the filter sums it.
  const auto exhaustive = [&](int k, double m) {
    std::vector<float> mean(points.size(), 0.0f);
    std::size_t usable = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (!std::isfinite(points[i].x)) continue;
      ++usable;
      std::vector<float> d;
      for (std::size_t j = 0; j < points.size(); ++j) {
        if (j == i || !std::isfinite(points[j].x)) continue;
        const float dx = points[i].x - points[j].x, dy = points[i].y - points[j].y, dz = points[i].z - points[j].z;
        float s = 0;
        s += dx * dx;
        s += dy * dy;
        s += dz * dz;
        d.push_back(s);
      }
      std::partial_sort(d.begin(), d.begin() + k, d.end());
      double sum = 0;
      for (int n = 0; n < k; ++n) sum += std::sqrt(double(d[n]));
      mean[i] = float(sum / k);
    }
    double sum = 0, squares = 0;
    for (float v : mean) {
      sum += v;
      squares += v * v;
    }
    const double mu = sum / usable, sd = std::sqrt((squares - sum * sum / usable) / (usable - 1));
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < points.size(); ++i)
      if (std::isfinite(points[i].x) && mean[i] > mu + m * sd) out.push_back(i);
    return out;
  };

  std::vector<std::set<std::size_t>> byStrength;
  for (const char* id : {"LightAutoClean", "MedAutoClean", "HeavyAutoClean"}) {
    AutoCleanStrength s;
    ASSERT_TRUE(autoCleanStrengthFor(id, &s));
    const auto found = statisticalOutliers(points, s.meanK, s.multiplier, 4);
    EXPECT_EQ(found, exhaustive(s.meanK, s.multiplier)) << id;
    byStrength.emplace_back(found.begin(), found.end());
  }
  EXPECT_EQ(byStrength[0], outliers) << "Light flags every outlier and no point of the plane";
  EXPECT_TRUE(std::includes(byStrength[1].begin(), byStrength[1].end(), byStrength[0].begin(), byStrength[0].end()));
  EXPECT_TRUE(std::includes(byStrength[2].begin(), byStrength[2].end(), byStrength[1].begin(), byStrength[1].end()));
  EXPECT_FALSE(autoCleanStrengthFor("NoAutoClean", nullptr));
  EXPECT_TRUE(statisticalOutliers(std::vector<scene::Vec3>{{1, 2, 3}}, 50, 1.0).empty());

  // On records: a capped point is cleaned like any other; hidden and selected ones are left out.
  std::vector<QVLScanVertex> vertices{QVLScanVertex{}};
  for (const auto& p : points) vertices.push_back(vertexAt(p.x, p.y, p.z));
  auto records = buildSortableIndexEntries(vertices, {});
  const std::size_t capped = *outliers.begin() + 1, removed = *outliers.rbegin() + 1, kept = *std::next(outliers.begin()) + 1;
  records[capped].flags |= QVLPointFlags::BeyondDisplayCap;
  records[removed].flags |= QVLPointFlags::Removed;
  records[kept].flags |= QVLPointFlags::Selected;
  const auto onRecords = autoCleanOutliers(vertices, records, 50, 6.0, 2);
  const std::set<std::uint32_t> got(onRecords.begin(), onRecords.end());
  EXPECT_TRUE(got.count(static_cast<std::uint32_t>(capped)));
  EXPECT_FALSE(got.count(static_cast<std::uint32_t>(removed)));
  EXPECT_FALSE(got.count(static_cast<std::uint32_t>(kept)));
}

TEST(CleaningApply, KeepsEveryPointNotRemovedOfTwoMillionOneHundredThousandAndTheirNumbers) {
  const std::size_t n = 2'100'001;
  std::vector<QVLScanVertex> vertices(n);
  for (std::size_t i = 1; i < n; ++i)
    vertices[i] = vertexAt(float(i % 1000), float(i / 1000), 1.0f, static_cast<std::int16_t>(i % 4));
  auto records = buildSortableIndexEntries(vertices, {});
  std::vector<std::uint64_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  applyDisplayCap(records, order);
  ASSERT_TRUE(records[n - 1].flags & QVLPointFlags::BeyondDisplayCap);

  // Removed, cropped and hidden-layer points go; everything else stays, capped or not.
  std::set<std::size_t> dropped;
  for (std::size_t i = 7; i < n; i += 97'003) {
    records[i].flags |= QVLPointFlags::Removed;
    dropped.insert(i);
  }
  records[2'050'000].flags |= QVLPointFlags::OutsideHeight;
  dropped.insert(2'050'000);
  for (std::size_t i = 3; i < 4'000; i += 4) {  // layer 3 hidden at the start
    records[i].flags |= QVLPointFlags::LayerHidden;
    dropped.insert(i);
  }
  records[11].flags |= QVLPointFlags::Selected;  // a selection alone removes nothing

  const AppliedChanges applied = applyCleaning(vertices, records);
  const auto out = verticesOf(applied.vertexData);
  ASSERT_EQ(out.size(), n);
  EXPECT_EQ(applied.zeroedCount, dropped.size());
  EXPECT_EQ(applied.keptCount, n - 1 - dropped.size());
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool zero = isAtOrigin(out[i]) && out[i].lookupId == 0 && out[i].normalZ == 0;
    const bool same = std::memcmp(&out[i], &vertices[i], sizeof(QVLScanVertex)) == 0;
    mismatches += dropped.count(i) ? !zero : !same;
  }
  EXPECT_EQ(mismatches, 0u);
  ASSERT_TRUE(applied.homePosition);
  EXPECT_NEAR(applied.homePosition->z, -1.0, 1e-9);

  // Nothing kept: no centre to go home to, rather than a NaN.
  for (auto& r : records) r.flags |= QVLPointFlags::Removed;
  EXPECT_FALSE(applyCleaning(std::span(vertices).first(1000), records).homePosition);
  // A vertex without a record is kept.
  EXPECT_EQ(applyCleaning(std::span(vertices).first(10), std::span(records).first(0)).keptCount, 9u);
}

TEST_F(ViewerController, CleanPanelCropBrushDeleteUndoResetAndApply) {
  const auto id = makeScan({{4, 20.0, 1, 60}, {3, 25.0, 0, 40}});
  load(id);
  ASSERT_TRUE(viewer->isDoneLoading());
  const float minY = viewer->minYValue(), maxY = viewer->maxYValue();

  // Crop setters: the bottom pushes the top 0.1 above it, clamped and rounded to 0.1.
  viewer->setYCutOff(maxY + 50);
  EXPECT_FLOAT_EQ(viewer->yCutOff(), std::round(maxY / 0.1f) * 0.1f);
  EXPECT_FLOAT_EQ(viewer->topYCutOff(), maxY) << "its push to the top is a change under 0.1";
  viewer->setYCutOff(minY + 0.34f);
  const float bottom = viewer->yCutOff();
  EXPECT_FLOAT_EQ(bottom, std::round((minY + 0.34f) / 0.1f) * 0.1f);
  viewer->setYCutOff(bottom + 0.05f);
  EXPECT_FLOAT_EQ(viewer->yCutOff(), bottom) << "changes under 0.1 are ignored";
  viewer->setTopYCutOffText("22.24 mm");
  EXPECT_EQ(viewer->topYCutOffText(), "22.2");
  viewer->setYCutOffText("21.96");
  EXPECT_EQ(viewer->yCutOffText(), "22.0");
  viewer->setYCutOffText("22.3");
  EXPECT_EQ(viewer->topYCutOffText(), "22.4") << "pushed up once, without pushing back";

  // Open the panel: it resets nothing yet; Reset brings every crop back.
  viewer->cleanButtonPressed();
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Cleaning);
  EXPECT_TRUE(display.headerBlocked);
  viewer->resetChangesButtonPressed();
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfFilteredVertices() == 100 && viewer->projectionIsComplete(); }));

  // Two calls in an unchanged view: the second answers at once with the same projection.
  bool ok = false;
  std::int32_t before = 0, after = 0;
  viewer->pointManagementQueue()->sync([&] {
    ok = viewer->projectPoints();
    before = viewer->currentProjectionId();
    viewer->projectPoints();
    after = viewer->currentProjectionId();
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(before, after);

  // A stroke over one point of the scan selects what lies under the brush.
  viewer->brushCleaningButtonPressed();
  ASSERT_EQ(viewer->brushCleaningState(), 3);
  EXPECT_EQ(viewer->brushCursor().kind, BrushCursor::Kind::Brush);
  EXPECT_DOUBLE_EQ(viewer->brushCursor().hotSpotX, 9.5);
  const QVLScanVertex target = vertexAt(10, 20, 0);  // the first point of the first layer
  const ViewPoint at = viewer->projectPointX(target.point3DX, target.point3DY, target.point3DZ);
  ASSERT_TRUE(at.inFront);
  viewer->mouseDown(at.x, at.y);
  viewer->mouseDragged(at.x + 2, at.y, 2, 0, {});
  viewer->mouseUp({});
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() > 0 && viewer->canUndo(); }));
  const std::uint64_t selected = viewer->numberOfSelectedVertices();
  EXPECT_EQ(viewer->undoActionName(), "Select Points");

  viewer->deletePointsButtonPressed();
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() == 0 && viewer->canUndo(); }));
  EXPECT_EQ(viewer->undoActionName(), "Delete Points");
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 100 - selected);
  viewer->undo();
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->canRedo(); }));
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() == selected; }))
      << "undo of the deletion keeps the stroke's selection";
  viewer->redo();
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() == 0 && !viewer->canRedo(); }));
  EXPECT_FALSE(viewer->canUndo());
  viewer->undo();  // nothing left to undo
  viewer->pointManagementQueue()->sync([] {});
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() == 0; }));

  // Apply waits while the application shows an open panel, then zeroes the deleted points. A
  // press during a crop pass is ignored, so each press waits for the passes to end.
  const auto settle = [&] {
    for (int turn = 0; turn < 3; ++turn) {
      viewer->pointManagementQueue()->sync([] {});
      qv::drainMainQueue();
    }
  };
  settle();
  delegate.openPanelShown = true;
  viewer->applyChangesPressed();
  EXPECT_FALSE(viewer->isApplyingChanges());
  delegate.openPanelShown = false;
  viewer->applyChangesPressed();
  ASSERT_TRUE(qv::test::waitFor([&] { return !viewer->isApplyingChanges(); }));
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Closed);
  EXPECT_FALSE(display.headerBlocked);
  store->privateContext()->performAndWait([] {});
  onScan(id, [&](QVSDScanObject& scan) {
    const auto original = verticesOf(scan.vertexData());
    const auto applied = verticesOf(scan.unsavedVertexData());
    ASSERT_EQ(applied.size(), original.size());
    std::size_t zeroed = 0;
    for (std::size_t i = 1; i < original.size(); ++i) {
      if (isAtOrigin(applied[i])) ++zeroed;
      else EXPECT_EQ(std::memcmp(&applied[i], &original[i], sizeof(QVLScanVertex)), 0) << i;
    }
    EXPECT_EQ(zeroed, selected);
  });
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 100 - selected);

  // With no point data left in the store Apply stops early and stays usable.
  onScan(id, [](QVSDScanObject& scan) {
    scan.setUnsavedVertexData(std::make_shared<const qv::Data>());
    scan.setVertexData(std::make_shared<const qv::Data>());
    scan.managedObjectContext()->save();
  });
  viewer->cleanButtonPressed();
  settle();
  viewer->applyChangesPressed();
  EXPECT_FALSE(viewer->cleaningButtons().apply);
  ASSERT_TRUE(qv::test::waitFor([&] { return !viewer->isApplyingChanges() && viewer->cleaningButtons().apply; }));
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Cleaning);
}

// Cancel must drop every edit that was not applied: on screen, and in the records a save keeps
// with the scan; Apply must keep them through the same save and a new load.
TEST_F(ViewerController, CancelDropsUnappliedEditsEverywhereAndApplyKeepsThem) {
  const auto id = makeScan({{4, 20.0, 1, 60}, {3, 25.0, 0, 40}});
  load(id);
  ASSERT_EQ(viewer->numberOfFilteredVertices(), 100u);
  const auto settle = [&] {
    for (int turn = 0; turn < 4; ++turn) {
      viewer->pointManagementQueue()->sync([] {});
      qv::drainMainQueue();
    }
  };
  // Crop off the upper layer, auto-clean, and delete a brushed point of the lower one.
  const auto edit = [&] {
    viewer->cleanButtonPressed();
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->projectionIsComplete(); }));
    viewer->setTopYCutOff(22.0f);
    bool cleaned = false;
    viewer->autoCleanWithMean(10, 0.5, [&] { cleaned = true; });
    ASSERT_TRUE(qv::test::waitFor([&] { qv::drainMainQueue(); return cleaned; }));
    viewer->brushCleaningButtonPressed();
    settle();
    ASSERT_EQ(viewer->brushCleaningState(), 3);
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->projectionIsComplete(); }));
    const QVLScanVertex target = vertexAt(10, 20, 0);
    const ViewPoint at = viewer->projectPointX(target.point3DX, target.point3DY, target.point3DZ);
    viewer->mouseDown(at.x, at.y);
    viewer->mouseUp({});
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() > 0; }));
    viewer->deleteBackward();
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() == 0; }));
    settle();
    ASSERT_LT(viewer->numberOfFilteredVertices(), 60u);
  };
  const auto hiddenRecords = [&] {
    std::size_t hidden = 0;
    viewer->withRecords([&](std::vector<QVLSortableIndexEntry>& records, const SortOrders&, const std::vector<std::uint32_t>&) {
      for (std::size_t i = 1; i < records.size(); ++i)
        if (records[i].flags & kCleaningHideMask) ++hidden;
    });
    return hidden;
  };
  const auto saveAndReload = [&](const std::string& name) {
    bool done = false, saved = false;
    viewer->savePointsToFilePath((temp.path() / name).string(), "/scans/Vase.qvk", "qvk", [&](bool ok) {
      saved = ok;
      done = true;
    });
    ASSERT_TRUE(qv::test::waitFor([&] { qv::drainMainQueue(); return done; }));
    ASSERT_TRUE(saved);
    const auto savedId = viewer->scanObjectId();
    ASSERT_TRUE(savedId);
    load(*savedId);
    ASSERT_TRUE(viewer->isDoneLoading());
  };

  edit();
  viewer->cancelChangesButtonPressed();
  settle();
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Closed);
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 100u) << "every point is shown again";
  EXPECT_EQ(hiddenRecords(), 0u);
  saveAndReload("Cancelled.qvk");
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 100u) << "the saved scan hides nothing";
  EXPECT_EQ(hiddenRecords(), 0u);

  edit();
  const std::uint64_t kept = viewer->numberOfFilteredVertices();
  viewer->applyChangesPressed();
  ASSERT_TRUE(qv::test::waitFor([&] { return !viewer->isApplyingChanges(); }));
  settle();
  EXPECT_EQ(viewer->numberOfFilteredVertices(), kept) << "closing after Apply takes nothing back";
  saveAndReload("Applied.qvk");
  EXPECT_EQ(viewer->numberOfFilteredVertices(), kept);
}
