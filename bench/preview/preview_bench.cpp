// The scan screen's live preview: the intake of one slice save into the six level-of-detail sets
// and the highlight (goal: under 2 ms, so the preview never lags the scan), and thinning a full
// 2,000,000-point set by one level (a quarter of its points).
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "screens/ScanPreview.h"
#include "support/BenchSupport.h"
#include "support/TempFolder.h"

namespace {

// One laser line down a vase-like object at a bed angle: a point per image row that saw the line.
std::vector<QVLPreviewVertex> laserLine(double angle, int points, std::mt19937& random) {
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<QVLPreviewVertex> line(static_cast<std::size_t>(points));
  for (int i = 0; i < points; ++i) {
    const double y = i * 0.12;
    const double radius = 30 + 8 * std::sin(y * 0.08);
    QVLPreviewVertex& v = line[static_cast<std::size_t>(i)];
    v.x = static_cast<float>(radius * std::cos(angle)) + noise(random);
    v.y = static_cast<float>(y);
    v.z = static_cast<float>(radius * std::sin(angle)) + noise(random);
    v.normalX = static_cast<float>(std::cos(angle));
    v.normalZ = static_cast<float>(std::sin(angle));
    v.red = 0.8f;
    v.green = 0.5f;
    v.blue = 0.3f;
  }
  return line;
}

}  // namespace

int main() {
  qv::test::TempFolder folder;
  qv::Settings settings(folder.path() / "Settings.json");
  std::mt19937 random(11);

  // A 1-degree scan's saves: two laser lines of 800 points each, 360 saves a turn.
  std::vector<double> intakes;
  for (int run = 0; run < 3; ++run) {
    qv::screens::ScanPreviewScene scene(settings);
    qv::screens::ScanPreview preview(scene);
    for (int step = 0; step < 360; ++step) {
      const double angle = step * M_PI / 180.0;
      const auto a = laserLine(angle, 800, random), b = laserLine(angle + 0.5, 800, random);
      const auto start = qv::bench::Clock::now();
      preview.intake(a, b);
      preview.fadeIn();
      intakes.push_back(qv::bench::secondsSince(start) * 1000.0);
    }
  }
  std::printf("RESULT preview_intake_ms %.3f ms\n", qv::bench::median(intakes));

  std::vector<QVLPreviewVertex> full;
  full.reserve(QVLScanViewPointSet::kLevelOfDetailCapacity);
  for (int step = 0; full.size() < QVLScanViewPointSet::kLevelOfDetailCapacity; ++step) {
    const auto line = laserLine(step * M_PI / 1250.0, 800, random);
    full.insert(full.end(), line.begin(), line.end());
  }
  full.resize(QVLScanViewPointSet::kLevelOfDetailCapacity);
  std::vector<double> thins;
  for (int run = 0; run < 3; ++run) {
    auto records = full;
    const auto start = qv::bench::Clock::now();
    const std::size_t removed = QVLScanViewPointSet::removeIntermediatePoints(records.data(), records.size(), 0.25f);
    thins.push_back(qv::bench::secondsSince(start) * 1000.0);
    if (removed != 500001) std::printf("# removed %zu\n", removed);
  }
  std::printf("RESULT preview_thin_ms %.1f ms\n", qv::bench::median(thins));
  return 0;
}
