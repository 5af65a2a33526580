// Bundle adjustment of 48 views of a 20-corner board with 0.1 px noise: our solver and, from the
// same start with the same residuals, Ceres Solver as the peer. Prints medians of several runs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <random>
#include <vector>

#include "calibration/Sba.h"
#include "calibration/SbaCameraModel.h"
#include "support/BenchSupport.h"
#include "support/RingScene.h"

#ifdef QUORVEL_HAVE_CERES
#include <ceres/ceres.h>
#endif

namespace {

constexpr int kCameras = 48;
constexpr int kRepetitions = 7;
constexpr double kNoise_px = 0.1;

// The problem and its start: views all around the board from 30 to 60 degrees off its normal,
// like the turntable's passes, with the poses and board moved a little off their true values.
struct Problem {
  std::vector<std::vector<cv::Point2d>> observations;
  qv::bench::RingStart start;
};

Problem makeProblem() {
  qv::bench::RingLayout layout;
  layout.tiltSteps = 4;
  layout.firstDistance_mm = 260.0;
  layout.distanceStep_mm = 15.0;
  layout.distanceSteps = 3;
  layout.fy = layout.fx;
  const qv::bench::RingScene scene = qv::bench::makeRingScene(kCameras, kNoise_px, 2024, layout);
  return {scene.observations, qv::bench::perturbedStart(scene, 0.01, 1.0, 0.2, 2025)};
}

// A deep copy: the solver changes its matrices in place.
qv::bench::RingStart copyOf(const qv::bench::RingStart& start) {
  qv::bench::RingStart copy = start;
  for (std::size_t j = 0; j < start.R.size(); ++j) {
    copy.cameraMatrix[j] = start.cameraMatrix[j].clone();
    copy.R[j] = start.R[j].clone();
    copy.T[j] = start.T[j].clone();
    copy.distortion[j] = start.distortion[j].clone();
  }
  return copy;
}

using qv::bench::median;

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

#ifdef QUORVEL_HAVE_CERES
// The residual of one observation: exactly the projection our camera blocks describe.
struct ReprojectionResidual {
  double observed[2];
  double initial[4];

  template <typename T>
  bool operator()(const T* camera, const T* point, T* residual) const {
    const T a = camera[10], b = camera[11], c = camera[12];
    const T q0 = ceres::sqrt(T(1.0) - a * a - b * b - c * c);
    const double* p = initial;
    const T w = q0 * p[0] - a * p[1] - b * p[2] - c * p[3];
    const T x = q0 * p[1] + a * p[0] + b * p[3] - c * p[2];
    const T y = q0 * p[2] - a * p[3] + b * p[0] + c * p[1];
    const T z = q0 * p[3] + a * p[2] - b * p[1] + c * p[0];
    const T vv = x * x + y * y + z * z;
    const T vm = x * point[0] + y * point[1] + z * point[2];
    const T cross[3] = {y * point[2] - z * point[1], z * point[0] - x * point[2], x * point[1] - y * point[0]};
    const T v[3] = {x, y, z};
    T P[3];
    for (int k = 0; k < 3; ++k) P[k] = (w * w - vv) * point[k] + T(2.0) * vm * v[k] + T(2.0) * w * cross[k] + camera[13 + k];
    const T xn = P[0] / P[2];
    const T yn = P[1] / P[2];
    const T r2 = xn * xn + yn * yn;
    const T k1 = camera[5], k2 = camera[6], p1 = camera[7], p2 = camera[8], k3 = camera[9];
    const T radial = T(1.0) + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
    const T xd = xn * radial + T(2.0) * p1 * xn * yn + p2 * (r2 + T(2.0) * xn * xn);
    const T yd = yn * radial + p1 * (r2 + T(2.0) * yn * yn) + T(2.0) * p2 * xn * yn;
    residual[0] = camera[0] * xd + camera[4] * yd + camera[1] - T(observed[0]);
    residual[1] = camera[0] * camera[3] * yd + camera[2] - T(observed[1]);
    return true;
  }
};

struct PeerResult {
  double milliseconds;
  double finalError;
  int iterations;
};

PeerResult solveWithCeres(const Problem& problem) {
  const auto start = std::chrono::steady_clock::now();
  const std::size_t m = problem.start.R.size();
  const std::size_t n = problem.start.points.size();
  // The same packing as our wrapper: intrinsics, distortion, a local rotation at zero on top of the
  // initial one, the translation; then the points.
  std::vector<double> cameras(16 * m, 0.0);
  std::vector<double> quaternions(4 * m);
  std::vector<double> points(3 * n);
  for (std::size_t j = 0; j < m; ++j) {
    double* a = cameras.data() + 16 * j;
    const cv::Mat& K = problem.start.cameraMatrix[j];
    a[0] = K.at<double>(0, 0);
    a[1] = K.at<double>(0, 2);
    a[2] = K.at<double>(1, 2);
    a[3] = K.at<double>(1, 1) / K.at<double>(0, 0);
    for (int k = 0; k < 5; ++k) a[5 + k] = problem.start.distortion[j].at<double>(k);
    for (int k = 0; k < 3; ++k) a[13 + k] = problem.start.T[j].at<double>(k);
    rod2quat(problem.start.R[j], quaternions.data() + 4 * j);
  }
  for (std::size_t i = 0; i < n; ++i) {
    points[3 * i] = problem.start.points[i].x;
    points[3 * i + 1] = problem.start.points[i].y;
    points[3 * i + 2] = problem.start.points[i].z;
  }
  ceres::Problem ceresProblem;
  int visible = 0;
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!problem.start.visibility[j][i]) continue;
      auto* residual = new ReprojectionResidual{{problem.observations[j][i].x, problem.observations[j][i].y},
                                                {quaternions[4 * j], quaternions[4 * j + 1], quaternions[4 * j + 2],
                                                 quaternions[4 * j + 3]}};
      ceresProblem.AddResidualBlock(new ceres::AutoDiffCostFunction<ReprojectionResidual, 2, 16, 3>(residual), nullptr,
                                    cameras.data() + 16 * j, points.data() + 3 * i);
      ++visible;
    }
  }
  // Intrinsics and distortion are held, as in the calibration's refinement.
  for (std::size_t j = 0; j < m; ++j) {
    ceresProblem.SetManifold(cameras.data() + 16 * j, new ceres::SubsetManifold(16, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  }
  ceres::Solver::Options options;
  options.linear_solver_type = ceres::DENSE_SCHUR;
  options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  options.max_num_iterations = 150;
  options.gradient_tolerance = 1e-12;
  options.parameter_tolerance = 1e-12;
  options.function_tolerance = 1e-12;
  options.num_threads = 1;
  options.logging_type = ceres::SILENT;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &ceresProblem, &summary);
  return {millisecondsSince(start), 2.0 * summary.final_cost / visible,
          static_cast<int>(summary.iterations.size())};
}
#endif

}  // namespace

// OpenBLAS, when it is the BLAS linked in, would spread each small product over every core.
extern "C" void openblas_set_num_threads(int threads) __attribute__((weak));

int main() {
  // The camera refinement runs the solver on one BLAS thread (the small dense products gain nothing
  // from more, and lose much on a busy machine), and Ceres runs on one thread: time it so.
  if (openblas_set_num_threads) openblas_set_num_threads(1);
  const Problem problem = makeProblem();
  std::vector<double> sbaTimes, sbaPerIteration;
  double sbaInitial = 0.0;
  double sbaFinal = 0.0;
  int sbaIterations = 0;
#ifdef QUORVEL_HAVE_CERES
  std::vector<double> peerTimes, peerPerIteration;
  double peerFinal = 0.0;
  int peerIterations = 0;
#endif
  for (int run = 0; run < kRepetitions; ++run) {
    qv::bench::RingStart input = copyOf(problem.start);
    const auto start = std::chrono::steady_clock::now();
    const SbaSummary summary = Sba::adjust(SbaParams{}, input.points, problem.observations, input.visibility,
                                           input.cameraMatrix, input.R, input.T, input.distortion);
    sbaTimes.push_back(millisecondsSince(start));
    sbaInitial = summary.initialError;
    sbaFinal = summary.finalError;
    sbaIterations = summary.iterations;
    sbaPerIteration.push_back(sbaTimes.back() / std::max(1, summary.iterations));
#ifdef QUORVEL_HAVE_CERES
    const PeerResult peer = solveWithCeres(problem);
    peerTimes.push_back(peer.milliseconds);
    peerFinal = peer.finalError;
    peerIterations = peer.iterations;
    peerPerIteration.push_back(peer.milliseconds / std::max(1, peer.iterations));
#endif
  }
  // The damping rule fixes how many iterations a solver takes; the time of one is what a faster
  // implementation can change, so the two solvers are compared per iteration.
  std::printf("RESULT sba_ms %.3f ms\n", median(sbaTimes));
  std::printf("RESULT sba_iterations %d count\n", sbaIterations);
  std::printf("RESULT sba_ms_per_iter %.4f ms\n", median(sbaPerIteration));
  std::printf("RESULT sba_initial_error %.9g px2\n", sbaInitial);
  std::printf("RESULT sba_final_error %.9g px2\n", sbaFinal);
#ifdef QUORVEL_HAVE_CERES
  std::printf("RESULT peer_ceres_ms %.3f ms\n", median(peerTimes));
  std::printf("RESULT peer_ceres_final_error %.9g px2\n", peerFinal);
  std::printf("RESULT peer_ceres_iterations %d count\n", peerIterations);
  std::printf("RESULT peer_ceres_ms_per_iter %.4f ms\n", median(peerPerIteration));
#else
  std::printf("NOTE Ceres Solver was not found at build time: the peer figures are missing\n");
#endif
  return 0;
}
