// The bundle adjustment wrapper on a ring of cameras around a board: convergence, write-back and input checks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <opencv2/calib3d.hpp>

#include "support/RingScene.h"
#include "calibration/Sba.h"

using qv::bench::makeRingScene;
using qv::bench::perturbedStart;
using qv::bench::RingScene;
using qv::bench::RingStart;
using qv::bench::sumOfSquaredResiduals;

namespace {

double maxAbsDifference(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat a64, b64;
  a.reshape(1, 1).convertTo(a64, CV_64F);
  b.reshape(1, 1).convertTo(b64, CV_64F);
  return cv::norm(a64, b64, cv::NORM_INF);
}

// Rotation vectors near a half-turn have two forms; their matrices have one.
double rotationDifference(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat ma, mb;
  cv::Rodrigues(a, ma);
  cv::Rodrigues(b, mb);
  return maxAbsDifference(ma, mb);
}

double runOn(Sba& sba, const RingScene& scene, RingStart& start) {
  return sba.run(start.points, scene.observations, start.visibility, start.cameraMatrix, start.R, start.T,
                 start.distortion);
}

// Expects fn to throw the wrapper's exception with the given message.
template <typename Fn>
void expectSbaError(Fn fn, const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "no exception for \"" << message << "\"";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, 8888);
    EXPECT_EQ(e.func, "Sba::run");
    EXPECT_EQ(e.err, message);
  }
}

}  // namespace

TEST(Sba, NoiseFreeRingConvergesToZeroErrorAndKeepsHeldIntrinsics) {
  const RingScene scene = makeRingScene(12, 0.0, 1);
  RingStart start = perturbedStart(scene, 0.02, 2.0, 0.3, 2);
  // Single-precision intrinsics and distortion, as the refinement hands some of them in.
  for (auto& k : start.cameraMatrix) k.convertTo(k, CV_32F);
  for (auto& d : start.distortion) d.convertTo(d, CV_32F);
  const std::vector<cv::Mat> inputK = start.cameraMatrix;
  const std::vector<cv::Mat> inputD = start.distortion;

  Sba sba;
  EXPECT_EQ(sba.initialError(), -1.0);
  EXPECT_EQ(sba.finalError(), -1.0);
  const double error = runOn(sba, scene, start);

  EXPECT_GT(sba.initialError(), 1.0);
  EXPECT_LT(error, 1e-12);
  EXPECT_EQ(error, sba.finalError());
  for (std::size_t j = 0; j < start.cameraMatrix.size(); ++j) {
    EXPECT_EQ(start.cameraMatrix[j].type(), CV_64F);
    EXPECT_EQ(start.distortion[j].type(), CV_64F);
    EXPECT_EQ(maxAbsDifference(start.cameraMatrix[j], inputK[j]), 0.0);
    EXPECT_EQ(maxAbsDifference(start.distortion[j], inputD[j]), 0.0);
  }
  const double check = sumOfSquaredResiduals(scene, start.points, start.cameraMatrix, start.R, start.T,
                                             start.distortion, start.visibility);
  EXPECT_LT(check / (12.0 * 20.0), 1e-12);
  // The summary tells the same run: it converged well before the limit.
  const SbaSummary& summary = sba.lastSummary();
  EXPECT_EQ(summary.finalError, error);
  EXPECT_EQ(summary.initialError, sba.initialError());
  EXPECT_GT(summary.iterations, 1);
  EXPECT_LT(summary.iterations, sba.params().iterations);
  EXPECT_NE(summary.stopReason, SbaStopReason::IterationLimit);
  EXPECT_NE(summary.stopReason, SbaStopReason::None);

  // With room for two iterations only, the options/summary call says the limit stopped it.
  RingStart again = perturbedStart(scene, 0.02, 2.0, 0.3, 2);
  SbaParams options;
  options.iterations = 2;
  const SbaSummary limited = Sba::adjust(options, again.points, scene.observations, again.visibility,
                                         again.cameraMatrix, again.R, again.T, again.distortion);
  EXPECT_EQ(limited.iterations, 2);
  EXPECT_EQ(limited.stopReason, SbaStopReason::IterationLimit);
  EXPECT_LT(limited.finalError, limited.initialError);
}

TEST(Sba, NoisyRingEndsNearTheExpectedResidual) {
  const int cameras = 24;
  const int points = 20;
  const double sigma = 0.1;
  const RingScene scene = makeRingScene(cameras, sigma, 3);
  RingStart start = perturbedStart(scene, 0.01, 1.0, 0.2, 4);
  Sba sba;
  const double error = runOn(sba, scene, start);

  // Residual degrees of freedom: 2 per observation less 6 per pose and 3 per point, plus the 7 of a
  // similarity that leaves all projections unchanged.
  const double observations = cameras * points;
  const double expected = sigma * sigma * (2.0 * observations - (6.0 * cameras + 3.0 * points - 7.0)) / observations;
  EXPECT_NEAR(error, expected, 0.2 * expected);

  // The reported errors are the sums of squared residuals of the values handed back, per observation.
  const double sum = sumOfSquaredResiduals(scene, start.points, start.cameraMatrix, start.R, start.T, start.distortion,
                                           start.visibility);
  EXPECT_NEAR(sum / observations, sba.finalError(), 1e-9 * sba.finalError());
  EXPECT_GT(sba.initialError(), sba.finalError());
}

TEST(Sba, RotationsComeBackInTheShapeTheyCameIn) {
  const RingScene scene = makeRingScene(6, 0.0, 5);
  RingStart start = perturbedStart(scene, 0.01, 0.5, 0.1, 6);
  cv::Rodrigues(start.R[0], start.R[0]);                 // 3x3 matrix
  start.R[1] = start.R[1].reshape(1, 1);                  // 1x3 row
  start.R[2].convertTo(start.R[2], CV_32F);               // 3x1, single precision
  start.cameraMatrix[3] = start.cameraMatrix[3].reshape(1, 1);  // 1x9: only the count is checked
  Sba sba;
  runOn(sba, scene, start);
  EXPECT_EQ(start.cameraMatrix[3].cols, 9);
  start.cameraMatrix[3] = start.cameraMatrix[3].reshape(1, 3);
  EXPECT_EQ(start.R[0].rows, 3);
  EXPECT_EQ(start.R[0].cols, 3);
  EXPECT_EQ(start.R[1].rows, 3);
  EXPECT_EQ(start.R[1].cols, 1);
  EXPECT_EQ(start.R[2].type(), CV_64F);
  const double check = sumOfSquaredResiduals(scene, start.points, start.cameraMatrix, start.R, start.T,
                                             start.distortion, start.visibility);
  EXPECT_LT(check, 1e-9);
}

TEST(Sba, RejectsInputsBeforeTouchingTheCallersMatrices) {
  const RingScene scene = makeRingScene(3, 0.0, 7);
  RingStart start = perturbedStart(scene, 0.01, 0.5, 0.1, 8);
  for (auto& r : start.R) r.convertTo(r, CV_32F);
  for (auto& k : start.cameraMatrix) k.convertTo(k, CV_32F);
  Sba sba;

  SbaParams params;
  params.iterations = 0;
  sba.setParams(params);
  expectSbaError([&] { runOn(sba, scene, start); }, "Invalid number of iterations");
  EXPECT_EQ(start.R[0].type(), CV_32F);
  EXPECT_EQ(start.cameraMatrix[0].type(), CV_32F);

  sba.setParams(SbaParams{});
  RingStart shortT = start;
  shortT.T.pop_back();
  expectSbaError([&] { runOn(sba, scene, shortT); }, "Error in input size vectors R,T... ");
  EXPECT_EQ(shortT.R[2].type(), CV_32F);

  RingStart badR = start;
  badR.R[1] = cv::Mat::zeros(2, 2, CV_64F);
  expectSbaError([&] { runOn(sba, scene, badR); }, "Error in R (must be 3x1, 1x3 or 3x3)");
  RingStart badT = start;
  badT.T[2] = cv::Mat::zeros(4, 1, CV_64F);
  expectSbaError([&] { runOn(sba, scene, badT); }, "Error in T (must be 3x1 or 1x3)");
  RingStart badK = start;
  badK.cameraMatrix[0] = cv::Mat::eye(2, 2, CV_64F);
  expectSbaError([&] { runOn(sba, scene, badK); }, "Error in CameraMatrix  (must be 3x3)");
  RingStart badD = start;
  badD.distortion[0] = cv::Mat::zeros(1, 4, CV_64F);
  expectSbaError([&] { runOn(sba, scene, badD); }, "Error in distortion coeff  (must be 1x5 or 5x1)");

  // Lists that do not match would be read past their ends.
  RingStart shortVisibility = start;
  shortVisibility.visibility[1].pop_back();
  expectSbaError([&] { runOn(sba, scene, shortVisibility); },
                 "Error in input size vectors of image points or visibility");
  RingStart extraPoint = start;
  extraPoint.points.emplace_back(0.0, 0.0, 0.0);
  expectSbaError([&] { runOn(sba, scene, extraPoint); }, "Error in input size vectors of points");

  params = SbaParams{};
  params.mode = static_cast<SbaMode>(7);
  sba.setParams(params);
  expectSbaError([&] { runOn(sba, scene, start); }, "Invalid Sba mode");
  params = SbaParams{};
  params.fixedDistortionCount = 6;
  sba.setParams(params);
  expectSbaError([&] { runOn(sba, scene, start); },
                 "Invalid number of fixed intrinsics or distortion coefficients (must be 0 to 5)");

  EXPECT_EQ(start.R[0].type(), CV_32F);
  EXPECT_EQ(sba.initialError(), -1.0);
}

TEST(Sba, FailedOptimisationLeavesTheCallersDataAndErrorsAlone) {
  const RingScene scene = makeRingScene(4, 0.0, 9);
  RingStart start = perturbedStart(scene, 0.01, 0.5, 0.1, 10);
  Sba sba;
  runOn(sba, scene, start);
  const double initial = sba.initialError();
  const double final = sba.finalError();

  RingStart broken = perturbedStart(scene, 0.01, 0.5, 0.1, 11);
  for (auto& r : broken.R) r.convertTo(r, CV_32F);
  broken.points[3].x = std::numeric_limits<double>::quiet_NaN();
  const std::vector<cv::Point3d> pointsBefore = broken.points;
  const cv::Mat translationBefore = broken.T[0].clone();
  expectSbaError([&] { runOn(sba, scene, broken); }, "Error occured during Sba optimization");
  EXPECT_EQ(broken.R[0].type(), CV_32F);
  EXPECT_EQ(maxAbsDifference(broken.T[0], translationBefore), 0.0);
  EXPECT_EQ(broken.points[0], pointsBefore[0]);
  EXPECT_EQ(sba.initialError(), initial);
  EXPECT_EQ(sba.finalError(), final);
}

TEST(Sba, APointNoCameraSeesStaysWhereItWas) {
  const RingScene scene = makeRingScene(6, 0.0, 12);
  RingStart start = perturbedStart(scene, 0.01, 0.5, 0.1, 13);
  const cv::Point3d lonely(5.0, -7.0, 3.0);
  start.points.push_back(lonely);
  std::vector<std::vector<cv::Point2d>> observations = scene.observations;
  for (std::size_t j = 0; j < observations.size(); ++j) {
    observations[j].emplace_back(1e9, -1e9);  // must never be read
    start.visibility[j].push_back(0);
  }
  Sba sba;
  const double error =
      sba.run(start.points, observations, start.visibility, start.cameraMatrix, start.R, start.T, start.distortion);
  EXPECT_EQ(start.points.back(), lonely);
  EXPECT_LT(error, 1e-12);
}

TEST(Sba, SinglePrecisionRefinesOnlyWhatTheModeSays) {
  const RingScene scene = makeRingScene(8, 0.0, 14);
  std::vector<std::vector<cv::Point2f>> observations;
  for (const auto& list : scene.observations) observations.emplace_back(list.begin(), list.end());

  // Structure only: true poses, perturbed points; the points return near the board, poses untouched.
  {
    RingStart start = perturbedStart(scene, 0.0, 0.0, 0.5, 15);
    std::vector<cv::Point3f> points(start.points.begin(), start.points.end());
    const cv::Mat rotationBefore = start.R[3].clone();
    Sba sba;
    SbaParams params;
    params.mode = SbaMode::structureOnly;
    sba.setParams(params);
    sba.run(points, observations, start.visibility, start.cameraMatrix, start.R, start.T, start.distortion);
    for (std::size_t i = 0; i < points.size(); ++i) {
      EXPECT_NEAR(points[i].x, scene.board[i].x, 2e-3);
      EXPECT_NEAR(points[i].y, scene.board[i].y, 2e-3);
      EXPECT_NEAR(points[i].z, scene.board[i].z, 2e-3);
    }
    EXPECT_EQ(maxAbsDifference(start.R[3], rotationBefore), 0.0);
    EXPECT_LT(sba.finalError(), 1e-6);
  }
  // Motion only: true board, perturbed poses; the poses return to the truth, the points stay.
  {
    RingStart start = perturbedStart(scene, 0.02, 2.0, 0.0, 16);
    std::vector<cv::Point3f> points(start.points.begin(), start.points.end());
    const std::vector<cv::Point3f> pointsBefore = points;
    Sba sba;
    SbaParams params;
    params.mode = SbaMode::motionOnly;
    sba.setParams(params);
    sba.run(points, observations, start.visibility, start.cameraMatrix, start.R, start.T, start.distortion);
    EXPECT_EQ(points, pointsBefore);
    for (std::size_t j = 0; j < start.R.size(); ++j) {
      EXPECT_LT(rotationDifference(start.R[j], scene.rvecs[j]), 1e-5);  // single-precision observations
      EXPECT_LT(maxAbsDifference(start.T[j], scene.tvecs[j]), 1e-3);
    }
  }
}

TEST(Sba, FreeIntrinsicsAndCoefficientsAreWrittenBackHeldOnesAreNot) {
  const RingScene scene = makeRingScene(6, 0.0, 17);
  RingStart start = perturbedStart(scene, 0.005, 0.5, 0.0, 18);
  for (auto& k : start.cameraMatrix) {
    k.at<double>(0, 0) *= 1.01;
    k.at<double>(1, 1) *= 1.01;
    k.at<double>(0, 1) = 0.25;  // the skew entry is neither read nor written
  }
  for (auto& d : start.distortion) d.at<double>(0) = -0.06;
  const std::vector<cv::Mat> inputK = [&] {
    std::vector<cv::Mat> copies;
    for (const auto& k : start.cameraMatrix) copies.push_back(k.clone());
    return copies;
  }();

  Sba sba;
  SbaParams params;
  params.mode = SbaMode::motionOnly;
  params.fixedIntrinsicCount = 4;    // fx free
  params.fixedDistortionCount = 4;   // k1 free
  sba.setParams(params);
  runOn(sba, scene, start);

  EXPECT_LT(sba.finalError(), 1e-10);
  const double trueAspect = scene.cameraMatrix.at<double>(1, 1) / scene.cameraMatrix.at<double>(0, 0);
  for (std::size_t j = 0; j < start.cameraMatrix.size(); ++j) {
    const cv::Mat& k = start.cameraMatrix[j];
    EXPECT_NEAR(k.at<double>(0, 0), scene.cameraMatrix.at<double>(0, 0), 1e-3);
    EXPECT_NEAR(k.at<double>(1, 1), k.at<double>(0, 0) * trueAspect, 1e-6);
    EXPECT_EQ(k.at<double>(0, 2), inputK[j].at<double>(0, 2));
    EXPECT_EQ(k.at<double>(1, 2), inputK[j].at<double>(1, 2));
    EXPECT_EQ(k.at<double>(0, 1), 0.25);
    const cv::Mat& d = start.distortion[j];
    EXPECT_NEAR(d.at<double>(0), scene.distortion.at<double>(0), 1e-6);
    for (int c = 1; c < 5; ++c) EXPECT_EQ(d.at<double>(c), scene.distortion.at<double>(c));
  }
}

TEST(Sba, RunsFromTwoThreadsGiveTheResultsOfRunsOneAfterTheOther) {
  const RingScene scene = makeRingScene(8, 0.1, 19);
  const RingStart start = perturbedStart(scene, 0.01, 0.5, 0.1, 20);
  auto solve = [&scene](RingStart input) {
    for (auto& m : input.R) m = m.clone();
    for (auto& m : input.T) m = m.clone();
    Sba sba;
    runOn(sba, scene, input);
    return input;
  };
  const RingStart sequential = solve(start);
  RingStart first, second;
  std::thread a([&] { first = solve(start); });
  std::thread b([&] { second = solve(start); });
  a.join();
  b.join();
  for (const RingStart* result : {&first, &second}) {
    EXPECT_EQ(result->points, sequential.points);
    for (std::size_t j = 0; j < sequential.T.size(); ++j) {
      EXPECT_EQ(maxAbsDifference(result->T[j], sequential.T[j]), 0.0);
      EXPECT_EQ(maxAbsDifference(result->R[j], sequential.R[j]), 0.0);
    }
  }
}
