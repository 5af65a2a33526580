// Display records: build, sort orders, display cap, crop pass, drawn list, label, distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>

#include "viewer/model/DisplayRecords.h"
#include "viewer/model/PointDistance.h"
#include "viewer/model/QVLLayerState.h"
#include "viewer/ViewerTestSupport.h"

using namespace qv::viewer;

namespace {

std::vector<QVLSortableIndexEntry> recordsOf(const std::vector<QVLScanVertex>& v,
                                             const std::vector<qv::SharedData>& lists = {}) {
  return buildSortableIndexEntries(std::span<const QVLScanVertex>(v), lists);
}

bool namesEachRecordOnce(std::span<const std::uint64_t> order, std::size_t n) {
  std::vector<bool> seen(n, false);
  if (order.size() != n) return false;
  for (auto i : order) {
    if (i >= n || seen[i]) return false;
    seen[i] = true;
  }
  return true;
}

}  // namespace

TEST(PointDistance, SegmentEndsAndDegenerateSegments) {
  const QVSPoint3f a{0, 0, 0}, b{10, 0, 0};
  EXPECT_FLOAT_EQ(PointToSegmentDistance({5, 3, 0}, a, b), 3.0f);   // over the middle
  EXPECT_FLOAT_EQ(PointToSegmentDistance({-3, 4, 0}, a, b), 5.0f);  // beyond a: to a, not to the line
  EXPECT_FLOAT_EQ(PointToSegmentDistance({13, 0, 4}, a, b), 5.0f);  // beyond b
  EXPECT_FLOAT_EQ(PointToSegmentDistance({4, 0, 0}, a, b), 0.0f);   // on it
  EXPECT_FLOAT_EQ(PointToSegmentDistance({1, 2, 2}, a, a), 3.0f);   // a = b
  EXPECT_FLOAT_EQ(PointDistanceSquared({1, 2, 3}, {2, 4, 6}), 14.0f);
}

TEST(DisplayRecords, BuildFillsFieldsAndFlagsListedVerticesIncludingVertexZero) {
  std::vector<QVLScanVertex> v{vertexAt(3, 1, 4, 2), vertexAt(1, 2, 0, 2), vertexAt(2, 3, 0, 5), vertexAt(5, 7, 1, 5)};
  auto records = recordsOf(v, {indexBytes({0, 2, 99})});
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].flags, QVLPointFlags::Listed);  // an entry 0 names vertex 0 like any other
  EXPECT_EQ(records[1].flags, 0);
  EXPECT_EQ(records[2].flags, QVLPointFlags::Listed);
  EXPECT_EQ(records[3].flags, 0);  // 99 is beyond the buffer
  EXPECT_EQ(records[2].vertexNumber, 2u);
  EXPECT_FLOAT_EQ(records[0].radiusSquared, 25.0f);
  EXPECT_FLOAT_EQ(records[3].y, 7.0f);
  EXPECT_EQ(records[2].cloudId, 5);
  EXPECT_EQ(records[0].neighbourDistance, kQVLFloatMax);
  EXPECT_EQ(records[3].neighbourDistance, kQVLFloatMax);
  EXPECT_FLOAT_EQ(records[1].neighbourDistance,
                  PointToSegmentDistance({1, 2, 0}, {3, 1, 4}, {2, 3, 0}));
}

TEST(DisplayRecords, SortOrdersArePermutationsInKeyOrderWhateverTheData) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> coarse(-5, 5);  // many equal keys
  std::vector<QVLScanVertex> v(5000);
  for (auto& x : v) x = vertexAt(coarse(random), coarse(random), coarse(random));
  v[17].point3DY = NAN;  // a damaged record must not break the sort
  v[900].point3DX = INFINITY;
  auto records = recordsOf(v);
  const SortOrders orders = computeSortOrders(records);
  const std::pair<const OrderList*, float QVLSortableIndexEntry::*> checks[] = {
      {&orders.byY, &QVLSortableIndexEntry::y},
      {&orders.byRadius, &QVLSortableIndexEntry::radiusSquared},
      {&orders.byNeighbour, &QVLSortableIndexEntry::neighbourDistance}};
  for (const auto& [order, key] : checks) {
    ASSERT_TRUE(namesEachRecordOnce(*order, v.size()));
    for (std::size_t i = 1; i < order->size(); ++i) {
      const float a = records[(*order)[i - 1]].*key, b = records[(*order)[i]].*key;
      if (!std::isnan(a) && !std::isnan(b)) {
        ASSERT_LE(a, b) << "at position " << i;
      }
      ASSERT_FALSE(std::isnan(a) && std::isfinite(b)) << "a NaN key sorts after every finite one";
    }
  }
  // On sound data the first and last vertex are the most isolated: last in the neighbour order.
  v[17].point3DY = 0;
  v[900].point3DX = 0;
  const auto clean = computeSortOrders(recordsOf(v)).byNeighbour;
  const std::uint64_t tail[] = {clean[v.size() - 2], clean[v.size() - 1]};
  EXPECT_TRUE((tail[0] == 0 && tail[1] == v.size() - 1) || (tail[1] == 0 && tail[0] == v.size() - 1));
}

TEST(DisplayRecords, DisplayCapDropsExactlyTheMostIsolatedPointOfTwoMillionAndOne) {
  const std::size_t n = kQVLDisplayCap + 1;
  std::vector<QVLScanVertex> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float a = static_cast<float>(i) * 1e-4f;
    v[i] = vertexAt(std::cos(a) * 50, static_cast<float>(i % 1000) * 0.01f + 1, std::sin(a) * 50);
  }
  auto records = recordsOf(v);
  const SortOrders orders = computeSortOrders(records);
  applyDisplayCap(records, orders.byNeighbour);
  std::size_t capped = 0, cappedAt = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (records[i].flags & QVLPointFlags::BeyondDisplayCap) {
      ++capped;
      cappedAt = i;
    }
  ASSERT_EQ(capped, 1u);
  EXPECT_TRUE(cappedAt == 0 || cappedAt == n - 1);
  const DrawnList list = collectDrawnVertices(v, records, false);
  EXPECT_EQ(list.drawnCount, kQVLDisplayCap);
  EXPECT_EQ(list.presentCount, n);
}

TEST(DisplayRecords, DrawnListSkipsOriginAndFlaggedPointsAndCountsClouds) {
  std::vector<QVLScanVertex> v{vertexAt(0, 0, 0, 1), vertexAt(2, 1, 0, 1), vertexAt(4, 3, 0, 1),
                               vertexAt(6, 5, 0, 2), vertexAt(8, 7, 0, 63)};
  auto records = recordsOf(v, {indexBytes({0, 1, 2, 3, 4})});
  records[2].flags |= QVLPointFlags::UnderBrush;  // any extra bit keeps a point from being drawn
  records[0].flags = QVLPointFlags::Listed;       // flagged, but at the origin
  const DrawnList list = collectDrawnVertices(v, records, true);
  ASSERT_EQ(list.drawnCount, 3u);
  EXPECT_EQ(list.indices[0], 1u);
  EXPECT_EQ(list.indices[1], 3u);
  EXPECT_EQ(list.indices[2], 4u);
  EXPECT_EQ(list.indices.size(), 5u);
  EXPECT_EQ(list.indices[4], 0u);  // the tail stays zero
  EXPECT_EQ(list.presentCount, 4u);
  EXPECT_EQ(list.cloudCounts[1], 1u);
  EXPECT_EQ(list.cloudCounts[2], 1u);
  EXPECT_EQ(list.cloudCounts[63], 1u);  // every id is counted alike
  ASSERT_TRUE(list.homePosition);
  EXPECT_NEAR(list.homePosition->x, -(2.0 + 6 + 8) / 3, 1e-5);
  EXPECT_NEAR(list.homePosition->y, -(1.0 + 5 + 7) / 3, 1e-5);
  EXPECT_FLOAT_EQ(list.minY, 1);
  EXPECT_FLOAT_EQ(list.maxY, 7);
  EXPECT_FLOAT_EQ(list.maxRadiusSquared, 64);
  // Without clouds, a "listed" bit is one bit too many.
  EXPECT_EQ(collectDrawnVertices(v, records, false).drawnCount, 0u);
  // Nothing drawn: no home position rather than a division by zero.
  EXPECT_FALSE(collectDrawnVertices(v, records, false).homePosition);
  // A point whose position is no finite number has no place to be drawn at: it is present but
  // not drawn, and the home position and the bounds are those of the others.
  const std::vector<QVLScanVertex> odd{vertexAt(0, 0, 0), vertexAt(2, 1, 0), vertexAt(NAN, 5, 0), vertexAt(6, INFINITY, 0),
                                       vertexAt(4, 3, 0)};
  const DrawnList oddList = collectDrawnVertices(odd, recordsOf(odd), false);
  EXPECT_EQ(oddList.drawnCount, 2u);
  EXPECT_EQ(oddList.presentCount, 4u);
  ASSERT_TRUE(oddList.homePosition);
  EXPECT_NEAR(oddList.homePosition->x, -3, 1e-5);
  EXPECT_NEAR(oddList.homePosition->y, -2, 1e-5);
  EXPECT_FLOAT_EQ(oddList.minY, 1);
  EXPECT_FLOAT_EQ(oddList.maxY, 3);
  EXPECT_FLOAT_EQ(oddList.maxRadiusSquared, 16);
}

TEST(DisplayRecords, CropPassSetsOnlyItsBitsAndHidesDisabledLayersOfAnyId) {
  std::vector<QVLScanVertex> v{vertexAt(1, 1, 0, 0), vertexAt(1, 5, 0, 5),  vertexAt(9, 2, 0, 5),
                               vertexAt(1, 2, 0, 63), vertexAt(1, 9, 0, 0), vertexAt(1, 2, 1, 0)};
  auto records = recordsOf(v);
  records[5].flags = QVLPointFlags::Selected | QVLPointFlags::Removed;
  records[4].flags = QVLPointFlags::Selected;
  const SortOrders orders = computeSortOrders(records);
  std::vector<QVLLayerState> layers(3);
  layers[0].cloudId = 0;
  layers[1].cloudId = 5;
  layers[2].cloudId = 63;
  layers[0].isEnabled = false;  // cloud 0 can be hidden like any other
  layers[2].isEnabled = false;
  std::vector<std::uint64_t> order = orders.byNeighbour.toVector();
  order.push_back(1000);  // a damaged order entry is skipped, not followed
  EXPECT_FALSE(isPermutation(order, records.size()));
  EXPECT_TRUE(isPermutation(orders.byNeighbour, records.size()));
  EXPECT_EQ(cropPass(records, order, 6, 1.5f, 4, LayerVisibility::fromLayers(layers)), 1u);
  EXPECT_EQ(records[0].flags, QVLPointFlags::OutsideHeight | QVLPointFlags::LayerHidden);
  EXPECT_EQ(records[1].flags, 0);
  EXPECT_EQ(records[2].flags, QVLPointFlags::OutsideRadius);
  EXPECT_EQ(records[3].flags, QVLPointFlags::LayerHidden);
  EXPECT_EQ(records[4].flags, QVLPointFlags::Selected | QVLPointFlags::OutsideHeight | QVLPointFlags::LayerHidden);
  EXPECT_EQ(records[5].flags, QVLPointFlags::Selected | QVLPointFlags::Removed | QVLPointFlags::LayerHidden);

  // Everything enabled and in range again: the crop bits go, the others stay.
  // The one-walk form gives the same flags as a crop pass followed by the drawn list.
  const DrawnList fast = cropAndCollect(v, records, orders.byNeighbour, 10, 0, 10, LayerVisibility{}, true, false);
  EXPECT_EQ(fast.drawnCount, 4u);
  EXPECT_EQ(fast.selectedCount, 1u);
  EXPECT_EQ(records[0].flags, 0);
  EXPECT_EQ(records[4].flags, QVLPointFlags::Selected);
  EXPECT_EQ(records[5].flags, QVLPointFlags::Selected | QVLPointFlags::Removed);
  records[2].flags = QVLPointFlags::Selected;
  const DrawnList list = collectDrawnVertices(v, records, false);
  EXPECT_EQ(list.drawnCount, 3u);
  ASSERT_EQ(list.selectedCount, 2u);  // 2 and 4 selected, 5 removed and so not shown
  EXPECT_EQ(list.indices[5], 2u);     // the lowest vertex number in the very last entry
  EXPECT_EQ(list.indices[4], 4u);
}

TEST(DisplayRecords, LabelCountsWhatIsDrawnOfThePresentPoints) {
  EXPECT_EQ(pointCountLabel(2, 52), "Displaying 2 of 52 points");
  EXPECT_EQ(pointCountLabel(51, 52), "Displaying 51 of 52 points");
  EXPECT_EQ(pointCountLabel(52, 52), "Displaying 52 points");
  QVLLayerState layer;
  layer.layerNumber = 2;
  layer.numberOfPoints = 340;
  EXPECT_EQ(layer.layerName(), "Layer 2 (340 pts)");
}

TEST(DisplayRecords, ByteFormsRoundTrip) {
  std::vector<QVLScanVertex> v{vertexAt(1, 2, 3, -4), vertexAt(4, 5, 6, 7)};
  auto records = recordsOf(v);
  records[1].screenX = 12.5;
  records[1].projectionId = 9;
  const qv::SharedData bytes = toData(records);
  ASSERT_EQ(bytes->size(), 96u);
  std::int16_t cloud;
  std::memcpy(&cloud, bytes->data() + 44, 2);
  EXPECT_EQ(cloud, -4);  // the stored layout: cloud id at byte 44
  const auto back = fromData<QVLSortableIndexEntry>(bytes);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].screenX, 12.5);
  EXPECT_EQ(back[1].projectionId, 9);
}
