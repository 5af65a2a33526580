// Aligns two 100,000-point scans of a lumpy object in a known pose: the whole search and
// refinement, the refinement's time per ICP iteration, and the errors against the truth; the
// same for two 1,000,000-point scans, once; and, as the peer, PCL's ICP with its defaults on the
// full 100,000-point clouds, in this process.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/registration/icp.h>
#pragma GCC diagnostic pop

#include "viewer/AlignmentScans.h"
#include "viewer/model/QVLAlign.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 3, kPoints = 100000;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<std::uint8_t> bytesOf(const std::vector<QVLScanVertex>& v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(v.data());
  return {p, p + v.size() * sizeof(QVLScanVertex)};
}

QVLAlign::ReferenceSet allRecords(std::size_t records) {
  auto list = std::make_shared<qv::Data>(records * 4);
  for (std::uint32_t i = 0; i < records; ++i) std::memcpy(list->data() + 4 * i, &i, 4);
  return {list};
}

pcl::PointCloud<pcl::PointXYZ>::Ptr cloudOf(const std::vector<QVLScanVertex>& v) {
  auto cloud = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  for (std::size_t i = 1; i < v.size(); ++i) cloud->push_back({v[i].point3DX, v[i].point3DY, v[i].point3DZ});
  return cloud;
}

}  // namespace

int main() {
  const auto truth = qv::test::knownFirstFromSecond();
  const auto base = qv::test::scanOfObject(Eigen::Isometry3d::Identity(), {kPoints, 0.05, 0.0, 21});
  const auto moved = qv::test::scanOfObject(truth, {kPoints, 0.05, 0.0, 22});
  const auto baseBytes = bytesOf(base), movedBytes = bytesOf(moved);
  const auto baseRefs = allRecords(base.size()), movedRefs = allRecords(moved.size());

  std::vector<double> totals, icpPerIteration, rotations, translations;
  for (int run = 0; run < kRuns; ++run) {
    double icpSeconds = 0;
    int icpIterations = 0;
    QVLAlign::Steps steps;
    const auto refine = steps.refine;
    steps.refine = [&](auto... a) {
      const auto start = Clock::now();
      const QVLIcpOutcome outcome = refine(a...);
      icpSeconds += secondsSince(start);
      icpIterations += outcome.iterations;
      return outcome;
    };
    QVLAlign::Matrix m{};
    const auto start = Clock::now();
    const bool found = QVLAlign::alignTargetScanObject(movedBytes, movedRefs, baseBytes, baseRefs, &m, steps);
    totals.push_back(secondsSince(start));
    if (!found) {
      std::printf("no alignment found\n");
      return 1;
    }
    icpPerIteration.push_back(1000 * icpSeconds / std::max(icpIterations, 1));
    const auto error = qv::test::poseError(m.data(), truth);
    rotations.push_back(error.rotation_deg);
    translations.push_back(error.translation_mm);
  }

  // The same alignment of two 1,000,000-point scans, once: what grows with the clouds is the
  // downsampling of the full sets at every leaf.
  const auto bigBase = qv::test::scanOfObject(Eigen::Isometry3d::Identity(), {10 * kPoints, 0.05, 0.0, 21});
  const auto bigMoved = qv::test::scanOfObject(truth, {10 * kPoints, 0.05, 0.0, 22});
  const auto bigBaseBytes = bytesOf(bigBase), bigMovedBytes = bytesOf(bigMoved);
  QVLAlign::Matrix bigMatrix{};
  const auto bigStart = Clock::now();
  const bool bigFound = QVLAlign::alignTargetScanObject(bigMovedBytes, allRecords(bigMoved.size()), bigBaseBytes,
                                                        allRecords(bigBase.size()), &bigMatrix);
  const double bigSeconds = secondsSince(bigStart);

  // The peer: PCL's ICP as it comes, on the full clouds, started at the truth's neighbourhood.
  pcl::IterativeClosestPoint<pcl::PointXYZ, pcl::PointXYZ> icp;
  icp.setInputSource(cloudOf(moved));
  icp.setInputTarget(cloudOf(base));
  icp.setMaximumIterations(10);
  pcl::PointCloud<pcl::PointXYZ> out;
  const auto peerStart = Clock::now();
  icp.align(out, truth.matrix().cast<float>());
  const double peerMs = 1000 * secondsSince(peerStart) / 10;

  std::printf("RESULT align_total_s %.3f s\n", median(totals));
  std::printf("RESULT icp_ms_per_iter %.3f ms\n", median(icpPerIteration));
  std::printf("RESULT align_rot_deg %.4f deg\n", median(rotations));
  std::printf("RESULT align_trans_mm %.4f mm\n", median(translations));
  if (bigFound) std::printf("RESULT align_total_1m_s %.3f s\n", bigSeconds);
  std::printf("RESULT pcl_default_icp_full_ms_per_iter %.1f ms\n", peerMs);
  return 0;
}
