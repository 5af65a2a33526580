// Plane, circle and line fits on PCL's sample-consensus module.
#include "calibration/SampleConsensusFit.h"

#include <pcl/common/transforms.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/sample_consensus/lmeds.h>
#include <pcl/sample_consensus/ransac.h>
#include <pcl/sample_consensus/sac_model_circle.h>
#include <pcl/sample_consensus/sac_model_line.h>
#include <pcl/sample_consensus/sac_model_plane.h>

#include <Eigen/Geometry>
#include <cmath>
#include <iostream>
#include <memory>
#include <optional>

namespace {

constexpr int kRansacIterations = 10000;
constexpr double kRansacProbability = 0.99;
constexpr double kCircleThreshold_mm = 0.01;
constexpr int kCircleIterations = 5000;

template <typename PointT>
typename pcl::PointCloud<PointT>::Ptr makeCloud(std::size_t count) {
  auto cloud = std::make_shared<pcl::PointCloud<PointT>>();
  cloud->points.resize(count);
  cloud->width = static_cast<std::uint32_t>(count);
  cloud->height = 1;
  cloud->is_dense = true;
  return cloud;
}

pcl::PointCloud<pcl::PointXYZ>::Ptr cloudOf(const std::vector<Eigen::Vector3d>& points, std::size_t extra = 0) {
  auto cloud = makeCloud<pcl::PointXYZ>(points.size() + extra);
  for (std::size_t k = 0; k < points.size(); ++k) {
    cloud->points[k] = pcl::PointXYZ(static_cast<float>(points[k].x()), static_cast<float>(points[k].y()),
                                     static_cast<float>(points[k].z()));
  }
  return cloud;
}

void printCoefficients(const Eigen::VectorXf& coefficients) {
  for (Eigen::Index k = 0; k < coefficients.size(); ++k) std::cout << coefficients[k] << "\n";
}

// Finds the model by RANSAC and refines its coefficients on the inliers, printing the report the
// calibration log has always carried ("status after laser plane calculation", the inliers, the
// coefficients before and after). Nothing when no model was found.
template <typename Model>
std::optional<Eigen::VectorXf> fitAndRefine(const std::shared_ptr<Model>& model, float distanceThreshold_mm,
                                            const char* name, const char* capitalisedName) {
  pcl::RandomSampleConsensus<pcl::PointXYZ> fit(model, distanceThreshold_mm);
  fit.setMaxIterations(kRansacIterations);
  const bool status = fit.computeModel();
  std::cout << "status after " << name << " calculation " << (status ? 1 : 0) << "\n";
  if (!status) {
    std::cout.flush();
    return std::nullopt;
  }
  pcl::Indices inliers;
  fit.getInliers(inliers);
  Eigen::VectorXf coefficients;
  fit.getModelCoefficients(coefficients);
  std::cout << "Inliers: " << inliers.size() << "\n";
  std::cout << capitalisedName << " coeffs\n";
  printCoefficients(coefficients);
  Eigen::VectorXf refined;
  model->optimizeModelCoefficients(inliers, coefficients, refined);
  std::cout << "Optimized " << name << " coefficients\n";
  printCoefficients(refined);
  std::cout.flush();
  return refined;
}

}  // namespace

namespace qv {

Eigen::Matrix3d rotationCarryingNormalOntoY(const Eigen::Vector3d& normal) {
  const double horizontal = std::hypot(normal.x(), normal.z());
  // Along ±y the axis n × y vanishes; such a plane is already level, so nothing needs turning.
  if (!(horizontal > 1e-12 * normal.norm())) return Eigen::Matrix3d::Identity();
  const Eigen::Vector3d axis(-normal.z() / horizontal, 0.0, normal.x() / horizontal);
  const double angle = std::atan2(horizontal, normal.y());  // acos(n·y) for a unit normal, without its rounding trap
  return Eigen::AngleAxisd(angle, axis).toRotationMatrix();
}

}  // namespace qv

bool FitPlaneAndCircle(const float* points, const int* pointCount, float centre[3], float normal[3],
                       float distanceThreshold_mm) {
  if (points == nullptr || pointCount == nullptr || centre == nullptr || normal == nullptr) return false;
  const int count = *pointCount;
  if (count < 3) return false;  // no plane through fewer than three points
  try {
    auto cloud = makeCloud<pcl::PointXYZ>(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
      cloud->points[k] = pcl::PointXYZ(points[3 * k], points[3 * k + 1], points[3 * k + 2]);
    }

    auto plane = std::make_shared<pcl::SampleConsensusModelPlane<pcl::PointXYZ>>(cloud, false);
    pcl::RandomSampleConsensus<pcl::PointXYZ> planeFit(plane, distanceThreshold_mm);
    planeFit.setMaxIterations(kRansacIterations);
    planeFit.setProbability(kRansacProbability);
    if (!planeFit.computeModel()) return false;
    pcl::Indices planeInliers;
    planeFit.getInliers(planeInliers);
    Eigen::VectorXf coefficients;
    planeFit.getModelCoefficients(coefficients);
    Eigen::VectorXf refined;
    plane->optimizeModelCoefficients(planeInliers, coefficients, refined);
    if (refined.size() != 4 || planeInliers.empty()) return false;

    // Inliers moved onto the plane, outliers left where they are, every point in its place.
    pcl::PointCloud<pcl::PointXYZ> onPlane;
    plane->projectPoints(planeInliers, refined, onPlane, true);

    const Eigen::Vector3d n(refined[0], refined[1], refined[2]);
    const Eigen::Matrix3d level_from_input = qv::rotationCarryingNormalOntoY(n);
    Eigen::Matrix4d transform = Eigen::Matrix4d::Identity();
    transform.topLeftCorner<3, 3>() = level_from_input;
    pcl::PointCloud<pcl::PointXYZ> level;
    pcl::transformPointCloud(onPlane, level, transform);

    auto flat = makeCloud<pcl::PointXYZ>(level.points.size());
    for (std::size_t k = 0; k < level.points.size(); ++k) {
      flat->points[k] = pcl::PointXYZ(level.points[k].x, level.points[k].z, 0.0f);
    }
    auto circle = std::make_shared<pcl::SampleConsensusModelCircle2D<pcl::PointXYZ>>(flat, false);
    pcl::RandomSampleConsensus<pcl::PointXYZ> circleFit(circle, kCircleThreshold_mm);
    circleFit.setMaxIterations(kCircleIterations);
    if (!circleFit.computeModel()) return false;
    Eigen::VectorXf circleCoefficients;
    circleFit.getModelCoefficients(circleCoefficients);
    // Within 0.01 mm of the sampled circle there is seldom more than the sample itself, so the
    // centre would rest on three of the face points. Every point the circle passes within the
    // plane's own tolerance takes part in the refinement instead.
    pcl::Indices circleInliers;
    circle->selectWithinDistance(circleCoefficients, distanceThreshold_mm, circleInliers);
    if (circleInliers.size() < 3) circleFit.getInliers(circleInliers);
    Eigen::VectorXf refinedCircle;
    circle->optimizeModelCoefficients(circleInliers, circleCoefficients, refinedCircle);
    if (refinedCircle.size() != 3) return false;

    // The circle lies in the plane, so its height is that of a plane inlier; the first input point
    // may be an outlier well off the plane.
    const double height = level.points[planeInliers.front()].y;
    const Eigen::Vector3d centre_level(refinedCircle[0], height, refinedCircle[1]);
    const Eigen::Vector3d centre_input = level_from_input.inverse() * centre_level;
    for (int k = 0; k < 3; ++k) {
      centre[k] = static_cast<float>(centre_input[k]);
      normal[k] = refined[k];
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool FitPlaneLmedsRansac(const std::vector<Eigen::Vector3d>& points, std::array<double, 3>& normal, float& offset,
                         float distanceThreshold_mm) {
  try {
    auto cloud = makeCloud<pcl::PointXYZRGB>(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
      pcl::PointXYZRGB& point = cloud->points[k];
      point.x = static_cast<float>(points[k].x());
      point.y = static_cast<float>(points[k].y());
      point.z = static_cast<float>(points[k].z());
      point.r = point.g = point.b = 0;
    }
    auto model = std::make_shared<pcl::SampleConsensusModelPlane<pcl::PointXYZRGB>>(cloud, false);

    pcl::LeastMedianSquares<pcl::PointXYZRGB> medianFit(model, distanceThreshold_mm);
    const bool medianStatus = medianFit.computeModel();
    pcl::Indices inliers;
    medianFit.getInliers(inliers);
    Eigen::VectorXf coefficients;
    medianFit.getModelCoefficients(coefficients);
    const std::size_t total = points.size();
    std::cout << "***************LMEDS results**********************\n";
    std::cout << "Total points: " << total << "\n";
    std::cout << "Inliers: " << inliers.size() << ", Percentage: "
              << (total > 0 ? static_cast<float>(inliers.size()) / static_cast<float>(total) : 0.0f) << "\n";
    std::cout << "Status after model calculation: " << (medianStatus ? 1 : 0) << "\n";
    // No plane found: there are no coefficients to refine or hand back.
    if (!medianStatus || coefficients.size() != 4) {
      std::cout.flush();
      return false;
    }
    Eigen::VectorXf refined;
    model->optimizeModelCoefficients(inliers, coefficients, refined);
    std::cout << "Optimized plane coefficients: \n";
    printCoefficients(refined);
    normal = {refined[0], refined[1], refined[2]};
    offset = refined[3];

    pcl::RandomSampleConsensus<pcl::PointXYZRGB> consensusFit(model, distanceThreshold_mm);
    consensusFit.setMaxIterations(kRansacIterations);
    const bool status = consensusFit.computeModel();
    std::cout << "***************RANSAC results**********************\n";
    std::cout << "status after laser plane calculation " << (status ? 1 : 0) << "\n";
    if (!status) {
      std::cout.flush();
      return false;
    }
    pcl::Indices consensusInliers;
    consensusFit.getInliers(consensusInliers);
    Eigen::VectorXf consensusCoefficients;
    consensusFit.getModelCoefficients(consensusCoefficients);
    std::cout << "Total points:" << total << "\n";
    std::cout << "Inliers: " << consensusInliers.size() << ", Percentage: "
              << static_cast<float>(consensusInliers.size()) / static_cast<float>(total) << "\n";
    printCoefficients(consensusCoefficients);
    Eigen::VectorXf consensusRefined;
    model->optimizeModelCoefficients(consensusInliers, consensusCoefficients, consensusRefined);
    std::cout << "Optimized laser plane coefficients\n";
    printCoefficients(consensusRefined);
    std::cout.flush();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool FitLaserPlane(const std::vector<Eigen::Vector3d>& points, const float extraPoint[3], float plane[4],
                   float distanceThreshold_mm) {
  if (extraPoint == nullptr || plane == nullptr) return false;
  try {
    auto cloud = cloudOf(points, 1);
    cloud->points.back() = pcl::PointXYZ(extraPoint[0], extraPoint[1], extraPoint[2]);
    auto model = std::make_shared<pcl::SampleConsensusModelPlane<pcl::PointXYZ>>(cloud, false);
    const auto fitted = fitAndRefine(model, distanceThreshold_mm, "laser plane", "Laser plane");
    if (!fitted) return false;
    const Eigen::VectorXf& refined = *fitted;
    if (refined.size() != 4) return false;
    for (int k = 0; k < 4; ++k) plane[k] = refined[k];
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool FitLaserLine(const std::vector<Eigen::Vector3d>& points, float linePoint[3], float direction[3],
                  float distanceThreshold_mm) {
  if (linePoint == nullptr || direction == nullptr) return false;
  try {
    auto cloud = cloudOf(points);
    auto model = std::make_shared<pcl::SampleConsensusModelLine<pcl::PointXYZ>>(cloud, false);
    const auto fitted = fitAndRefine(model, distanceThreshold_mm, "laser line", "Laser line");
    if (!fitted) return false;
    const Eigen::VectorXf& refined = *fitted;
    if (refined.size() != 6) return false;
    for (int k = 0; k < 3; ++k) {
      linePoint[k] = refined[k];
      direction[k] = refined[3 + k];
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
