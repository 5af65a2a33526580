// Runs a whole calibration on the simulated scanner with the box target, then times the analysis of
// its views on its own; then whole calibrations with the card target and at sensor noise 1, frames
// included, for the card's bed origin and the time a user waits.
//
//   bench_calibration_sim [noise [runs [second radius]]] [--distorted] [--exact-corners[=s1,s2,...]] [--exact-lasers]
//                         [--box-only]
//
// --distorted gives the lens the distortion the whole-calibration test recovers. --exact-corners
// runs the analysis once more on every view with its corners replaced by the true board corners
// projected through the true camera, with Gaussian noise of each sigma (px, per coordinate; 0 when
// none is given) added, median over `runs` draws: what the analysis reaches when the corner
// finder is taken out. --exact-lasers does the same for the laser points (each row's point moved
// onto the true line where the laser's plane meets the board).
#include <Eigen/Geometry>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <cfloat>
#include <opencv2/calib3d.hpp>

#include "calibration/QVLCalibration.h"
#include "calibration/QVLCalibrationUtil.h"
#include "calibration/ScannerCalibrationAnalysis.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "sim/calibration/CalibrationErrors.h"
#include "sim/calibration/SimulatedCalibrationScanner.h"

namespace fs = std::filesystem;
using qv::sim::ChessboardTarget;
using qv::sim::SimulatedCalibrationScanner;

namespace {

bool runPass(const std::shared_ptr<QVLCalibration>& calibration, int pass, int device) {
  std::atomic<int> result{0};
  auto done = [&] { result = 1; };
  auto failed = [&](const qv::Error& e) {
    std::cerr << "pass " << pass << " failed: " << e.text() << "\n";
    result = 2;
  };
  if (pass == 1) calibration->calibrateScannerStep1UsingDevice(device, done, nullptr, failed);
  else calibration->calibrateScannerStep2UsingDevice(device, done, nullptr, failed);
  qv::runMainQueueUntil([&] { return result != 0; }, std::chrono::seconds(1200));
  return result == 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<double> parseList(const std::string& text) {
  std::vector<double> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(std::atof(item.c_str()));
  return values;
}

// Where the scanner stood for one captured sequence: what the camera saw there is known exactly.
struct TruePose {
  double bedAngle_deg = 0.0;
  double headHeight_mm = 0.0;
  std::array<Eigen::Vector3d, 20> corners_turntable;
};

std::array<Eigen::Vector2d, 20> projectCorners(const qv::sim::ScannerModel& model, const TruePose& pose) {
  std::array<Eigen::Vector2d, 20> pixels;
  const Eigen::Matrix3d world = qv::sim::ScannerModel::world_from_turntable(pose.bedAngle_deg);
  for (int k = 0; k < 20; ++k)
    pixels[k] = model.project(world * pose.corners_turntable[k], pose.headHeight_mm).value_or(Eigen::Vector2d(-1e9, -1e9));
  return pixels;
}

// The pose each view was captured at: the sequence whose true corners lie nearest the view's.
const TruePose& poseOfView(const qv::sim::ScannerModel& model, const std::vector<TruePose>& poses,
                           const QVLCalibrationPoints2D& view) {
  std::size_t best = 0;
  double bestDistance = 1e300;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    const auto pixels = projectCorners(model, poses[i]);
    double d = 0.0;
    for (int k = 0; k < 20; ++k) d += (pixels[k] - view.checkerboardCoordinates2D[k]).squaredNorm();
    if (d < bestDistance) bestDistance = d, best = i;
  }
  return poses[best];
}

// The image column at which the true laser line on the board crosses an image row; nothing when it
// does not cross it on the board.
std::optional<double> trueLaserColumn(const qv::sim::ScannerModel& model, const TruePose& pose, int laser, double row) {
  const Eigen::Matrix3d world = qv::sim::ScannerModel::world_from_turntable(pose.bedAngle_deg);
  const Eigen::Vector3d boardNormal =
      (world * (pose.corners_turntable[3] - pose.corners_turntable[0]))
          .cross(world * (pose.corners_turntable[16] - pose.corners_turntable[0]))
          .normalized();
  const auto plane = model.laserPlane_world(laser, pose.headHeight_mm);
  const Eigen::Vector3d direction = boardNormal.cross(plane.normal).normalized();
  // A point on both planes: the board's centre moved within the board onto the laser's plane.
  const Eigen::Vector3d centre = world * (0.5 * (pose.corners_turntable[0] + pose.corners_turntable[19]));
  const Eigen::Vector3d inBoard = boardNormal.cross(direction);
  const double step = plane.normal.dot(plane.emitter - centre) / plane.normal.dot(inBoard);
  const Eigen::Vector3d onBoth = centre + step * inBoard;
  auto rowAt = [&](double s) {
    const auto p = model.project(onBoth + s * direction, pose.headHeight_mm);
    return p ? p->y() - row : std::nan("");
  };
  // Bracket the row along the board's height (well beyond its 40 mm of corners), then bisect.
  double low = std::nan("");
  double high = std::nan("");
  for (double s = -40.0; s < 40.0; s += 0.5) {
    const double a = rowAt(s), b = rowAt(s + 0.5);
    if (std::isfinite(a) && std::isfinite(b) && (a <= 0.0) != (b <= 0.0)) {
      low = s, high = s + 0.5;
      break;
    }
  }
  if (!std::isfinite(low)) return std::nullopt;
  const bool rising = rowAt(low) <= 0.0;
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (low + high);
    ((rowAt(mid) <= 0.0) == rising ? low : high) = mid;
  }
  return model.project(onBoth + 0.5 * (low + high) * direction, pose.headHeight_mm)->x();
}

struct Analysis {
  QVLScannerCalibration calibration;
  float reprojection = 0.0f;
  double seconds = 0.0;
  ScannerCalibrationAnalysisDetails details;
};

std::optional<Analysis> analyse(const std::vector<QVLCalibrationPoints2D>& views, const fs::path& home) {
  Analysis a;
  std::string failure;
  const auto start = std::chrono::steady_clock::now();
  if (!CalibrateScannerFromCheckerboards(views, (home / "calData.xml").string(), (home / "calData_Results.xml").string(),
                                         true, a.calibration, a.reprojection, &failure, {}, &a.details)) {
    std::cerr << "analysis failed: " << failure << "\n";
    return std::nullopt;
  }
  a.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return a;
}

// The principal point one camera calibration gives on the known board, with no adjustment of the
// board's points: how much of the refinement's sensitivity the free board adds.
Eigen::Vector2d centreOnTheKnownBoard(const std::vector<QVLCalibrationPoints2D>& views) {
  std::vector<std::vector<cv::Point3f>> objectPoints(views.size(), BoardObjectPoints());
  std::vector<std::vector<cv::Point2f>> imagePoints;
  for (const auto& view : views) {
    std::vector<cv::Point2f> corners;
    for (const auto& c : view.checkerboardCoordinates2D) corners.emplace_back(static_cast<float>(c.x()), static_cast<float>(c.y()));
    imagePoints.push_back(corners);
  }
  cv::Mat camera = (cv::Mat_<double>(3, 3) << 1428.5714, 0.0, 640.0, 0.0, 1428.5714, 480.0, 0.0, 0.0, 1.0);
  cv::Mat distortion;
  std::vector<cv::Mat> rvecs, tvecs;
  cv::calibrateCamera(objectPoints, imagePoints, cv::Size(1280, 960), camera, distortion, rvecs, tvecs, 14465,
                      cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 200, DBL_EPSILON));
  return {camera.at<double>(0, 2), camera.at<double>(1, 2)};
}

// One whole calibration as a user runs it: both passes with the target at its two places, the
// analysis included. Nothing when a pass fails.
struct WholeCalibration {
  std::shared_ptr<QVLCalibration> calibration;
  double seconds = 0.0;
};

std::optional<WholeCalibration> calibrateWhole(SimulatedCalibrationScanner& scanner, ChessboardTarget::Kind kind,
                                               double r2) {
  const int device = kind == ChessboardTarget::Kind::Box ? QVLCalibration::kBoxDevice : 2;
  WholeCalibration whole;
  whole.calibration = QVLCalibration::initWithDelegate(&scanner);
  whole.calibration->setNonLaserExposure(100);
  whole.calibration->setLaser1Exposures({100});
  whole.calibration->setLaser2Exposures({100});
  const auto start = std::chrono::steady_clock::now();
  scanner.placeTarget(kind, Eigen::Vector2d(0.0, 15.0), 0.0);
  if (!runPass(whole.calibration, 1, device)) return std::nullopt;
  const double a = -150.0 * M_PI / 180.0;
  scanner.placeTarget(kind, Eigen::Vector2d(r2 * std::sin(a), r2 * std::cos(a)), -150.0);
  if (!runPass(whole.calibration, 2, device)) return std::nullopt;
  whole.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return whole;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  bool distorted = false;
  bool exactLasers = false;
  bool boxOnly = false;
  std::vector<double> exactSigmas;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--distorted") distorted = true;
    else if (arg == "--exact-lasers") exactLasers = true;
    else if (arg == "--box-only") boxOnly = true;
    else if (arg == "--exact-corners") exactSigmas = {0.0};
    else if (arg.rfind("--exact-corners=", 0) == 0) exactSigmas = parseList(arg.substr(16));
    else positional.push_back(arg);
  }
  if (exactLasers && exactSigmas.empty()) exactSigmas = {0.0};
  const double noise = positional.size() > 0 ? std::atof(positional[0].c_str()) : 0.0;
  const int runs = positional.size() > 1 ? std::max(1, std::atoi(positional[1].c_str())) : 3;
  const double r2 = positional.size() > 2 ? std::atof(positional[2].c_str()) : 25.0;

  const fs::path home = fs::temp_directory_path() / ("quorvel-bench-calibration-" + std::to_string(::getpid()));
  fs::create_directories(home / "data" / "Quorvel");
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  setCalibrationReportStream(nullptr);
  qv::log::setThreshold(qv::log::Level::Warning);

  qv::sim::ScannerDesign design = qv::sim::calibrationScannerDesign();
  if (distorted) {
    design.k1 = -0.09;
    design.k2 = 0.15;
    design.p1 = 0.0006;
    design.p2 = -0.0004;
  }
  SimulatedCalibrationScanner scanner(design);
  scanner.setNoiseSigma(noise);
  std::mutex posesMutex;
  std::vector<TruePose> poses;
  scanner.setRequestHook([&](const std::string& name) {
    if (name != "sequence" || !scanner.target()) return;
    const auto board = scanner.boardInView();
    if (!board) return;
    TruePose pose{scanner.bedAngle_deg(), scanner.headHeight_mm(), scanner.target()->corners_turntable(*board)};
    std::lock_guard lock(posesMutex);
    poses.push_back(pose);
  });
  const auto whole = calibrateWhole(scanner, ChessboardTarget::Kind::Box, r2);
  if (!whole) return 1;
  const double wholeSeconds = whole->seconds;
  const auto& calibration = whole->calibration;
  const std::vector<QVLCalibrationPoints2D> views = calibration->calibrations();
  const QVLScannerCalibration truth = scanner.model().groundTruthCalibration();

  // The analysis again, on the same views, for its time alone.
  std::vector<double> seconds;
  std::optional<Analysis> result;
  for (int i = 0; i < runs; ++i) {
    result = analyse(views, home);
    if (!result) return 1;
    seconds.push_back(result->seconds);
  }
  const QVLScannerCalibration& c = result->calibration;
  const qv::sim::CalibrationComparison compared = qv::sim::compareWithTruth(c, truth);
  const qv::sim::CalibrationErrors& e = compared.raw;
  const qv::sim::CalibrationErrors& own = compared.ownFrame;
  std::printf("RESULT calibration_analysis_s %.3f s\n", median(seconds));
  std::printf("RESULT reprojection_px %.4f px\n", result->reprojection);
  std::printf("RESULT laser_plane_deg %.4f deg\n", e.worstLaserAngle_deg());
  std::printf("RESULT laser_plane_mm %.4f mm\n", e.worstLaserOffsetAtCamera_mm());
  std::printf("RESULT laser_plane_volume_raw_mm %.4f mm\n", e.worstLaserOffsetInScanVolume_mm());
  std::printf("RESULT bed_axis_deg %.4f deg\n", e.bedAxis_deg);
  std::printf("RESULT bed_origin_mm %.4f mm\n", e.bedOrigin_mm);
  std::printf("RESULT calibration_total_s %.1f s\n", wholeSeconds);
  std::printf("RESULT lead_screw_deg %.4f deg\n", e.leadScrew_deg);
  // The same geometry in the frame the recovered camera measures in (every figure above also
  // carries the turn a displaced principal point gives that frame), with the planes' offsets
  // where the lasers meet an object and the bed origin split across and along the bed axis.
  std::printf("RESULT camera_turn_deg %.4f deg\n", e.cameraTurn_deg);
  std::printf("RESULT laser_plane_own_deg %.4f deg\n", own.worstLaserAngle_deg());
  std::printf("RESULT laser_plane_volume_mm %.4f mm\n", own.worstLaserOffsetInScanVolume_mm());
  std::printf("RESULT bed_axis_own_deg %.4f deg\n", own.bedAxis_deg);
  std::printf("RESULT bed_origin_across_mm %.4f mm\n", own.bedOriginAcross_mm);
  std::printf("RESULT bed_origin_along_mm %.4f mm\n", std::fabs(own.bedOriginAlong_mm));
  std::printf("RESULT lead_screw_own_deg %.4f deg\n", own.leadScrew_deg);
  std::printf("intrinsics %.2f %.2f %.2f %.2f (true %.2f %.2f %.2f %.2f)\n", c.intrinsics[0], c.intrinsics[1],
              c.intrinsics[2], c.intrinsics[3], truth.intrinsics[0], truth.intrinsics[1], truth.intrinsics[2],
              truth.intrinsics[3]);
  std::cout << compared;

  if (!exactSigmas.empty()) {
    std::vector<const TruePose*> viewPoses;
    for (const auto& view : views) viewPoses.push_back(&poseOfView(scanner.model(), poses, view));
    // How far the corner finder and the laser detector land from the truth on these frames.
    Eigen::Vector2d bias = Eigen::Vector2d::Zero();
    double squares = 0.0;
    int count = 0;
    double laserSquares[2] = {0.0, 0.0};
    double laserBias[2] = {0.0, 0.0};
    int laserCount[2] = {0, 0};
    std::vector<QVLCalibrationPoints2D> exactLaserViews = views;
    for (std::size_t v = 0; v < views.size(); ++v) {
      const auto pixels = projectCorners(scanner.model(), *viewPoses[v]);
      for (int k = 0; k < 20; ++k) {
        const Eigen::Vector2d d = views[v].checkerboardCoordinates2D[k] - pixels[k];
        bias += d, squares += d.squaredNorm(), ++count;
      }
      std::vector<Eigen::Vector2d>* lists[2] = {&exactLaserViews[v].laser1Points2D, &exactLaserViews[v].laser2Points2D};
      for (int laser = 0; laser < 2; ++laser) {
        std::vector<Eigen::Vector2d> exact;
        for (const auto& p : *lists[laser]) {
          const auto x = trueLaserColumn(scanner.model(), *viewPoses[v], laser, p.y());
          if (!x) continue;
          laserSquares[laser] += (p.x() - *x) * (p.x() - *x), laserBias[laser] += p.x() - *x, ++laserCount[laser];
          exact.emplace_back(*x, p.y());
        }
        *lists[laser] = std::move(exact);
      }
    }
    std::printf("corner finder against the true corners: RMS %.4f px, mean offset (%.4f, %.4f) px over %d corners\n",
                std::sqrt(squares / count), bias.x() / count, bias.y() / count, count);
    for (int laser = 0; laser < 2; ++laser)
      std::printf("laser %d detector against the true line: RMS %.4f px, mean %.4f px over %d rows\n", laser + 1,
                  std::sqrt(laserSquares[laser] / std::max(1, laserCount[laser])),
                  laserBias[laser] / std::max(1, laserCount[laser]), laserCount[laser]);

    std::printf("\nexact corners%s: median of %d draws per sigma\n", exactLasers ? " and laser lines" : "", runs);
    // Raw: the centre, the camera turn it gives, the laser angle and the bed axis against the truth;
    // own: in the recovered camera's frame; board: one camera calibration on the known board alone.
    std::printf("%6s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "sigma", "reproj", "cx", "cy", "turn",
                "laser", "bed", "laser", "vol mm", "bed", "across", "along", "lead", "cx", "cy");
    std::printf("%6s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "px", "px", "raw", "raw", "deg",
                "raw deg", "raw deg", "own deg", "own", "own deg", "own mm", "own mm", "own deg", "board", "board");
    std::mt19937 random(20261209);
    for (const double sigma : exactSigmas) {
      std::vector<std::vector<double>> columns(14);
      for (int draw = 0; draw < (sigma > 0.0 ? runs : 1); ++draw) {
        std::vector<QVLCalibrationPoints2D> exactViews = exactLasers ? exactLaserViews : views;
        std::normal_distribution<double> gauss(0.0, sigma > 0.0 ? sigma : 1.0);
        for (std::size_t v = 0; v < exactViews.size(); ++v) {
          const auto pixels = projectCorners(scanner.model(), *viewPoses[v]);
          for (int k = 0; k < 20; ++k)
            exactViews[v].checkerboardCoordinates2D[k] =
                pixels[k] + (sigma > 0.0 ? Eigen::Vector2d(gauss(random), gauss(random)) : Eigen::Vector2d::Zero());
        }
        const auto exact = analyse(exactViews, home);
        if (!exact) return 1;
        const auto x = qv::sim::compareWithTruth(exact->calibration, truth);
        const Eigen::Vector2d centre = centreOnTheKnownBoard(exactViews);
        const double row[14] = {exact->reprojection,
                                x.raw.cx_px,
                                x.raw.cy_px,
                                x.raw.cameraTurn_deg,
                                x.raw.worstLaserAngle_deg(),
                                x.raw.bedAxis_deg,
                                x.ownFrame.worstLaserAngle_deg(),
                                x.ownFrame.worstLaserOffsetInScanVolume_mm(),
                                x.ownFrame.bedAxis_deg,
                                x.ownFrame.bedOriginAcross_mm,
                                x.ownFrame.bedOriginAlong_mm,
                                x.ownFrame.leadScrew_deg,
                                centre.x() - truth.intrinsics[2],
                                centre.y() - truth.intrinsics[3]};
        for (int i = 0; i < 14; ++i) columns[i].push_back(row[i]);
      }
      std::printf("%6.3f", sigma);
      for (const auto& column : columns) std::printf(" %7.4f", median(column));
      std::printf("\n");
    }
  }

  if (!boxOnly) {
    // The card target, at the same noise: its lower board stands higher and its body is thin.
    SimulatedCalibrationScanner cardScanner(design);
    cardScanner.setNoiseSigma(noise);
    const auto card = calibrateWhole(cardScanner, ChessboardTarget::Kind::Card, r2);
    if (!card) return 1;
    const auto outcome = card->calibration->lastAnalysis();
    if (!outcome) return 1;
    const auto cardCompared = qv::sim::compareWithTruth(outcome->calibration, truth);
    std::printf("RESULT bed_origin_card_mm %.4f mm\n", cardCompared.raw.bedOrigin_mm);
    std::printf("RESULT bed_origin_card_along_mm %.4f mm\n", std::fabs(cardCompared.ownFrame.bedOriginAlong_mm));
    std::printf("RESULT calibration_card_total_s %.1f s\n", card->seconds);

    // What a user waits for on a sensor with noise: every frame, search and analysis.
    double noisySeconds = wholeSeconds;
    if (noise != 1.0) {
      SimulatedCalibrationScanner noisyScanner(design);
      noisyScanner.setNoiseSigma(1.0);
      const auto noisy = calibrateWhole(noisyScanner, ChessboardTarget::Kind::Box, r2);
      if (!noisy) return 1;
      noisySeconds = noisy->seconds;
    }
    std::printf("RESULT calibration_noise1_total_s %.1f s\n", noisySeconds);
  }
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
