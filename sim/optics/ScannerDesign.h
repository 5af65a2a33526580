// The simulated scanner's build: camera, lasers, lead screw and turntable, as a designer would lay them out.
#pragma once

#include <Eigen/Core>

namespace qv::sim {

// Positions are in the chassis frame: origin at the centre of the turntable's top, y up along the
// chassis' vertical, z from the turntable towards the camera, x to the camera's right (mm).
struct ScannerDesign {
  // Camera intrinsics (px) and distortion (k1, k2, p1, p2 of the usual radial-tangential model).
  double fx = 1430.2;
  double fy = 1428.9;
  double cx = 641.3;
  double cy = 478.6;
  double k1 = 0.0;
  double k2 = 0.0;
  double p1 = 0.0;
  double p2 = 0.0;

  // The optical centre at head height 0, the point the optical axis passes through, and a turn of
  // the camera about its optical axis.
  Eigen::Vector3d camera_chassis{0.0, 95.0, 290.0};
  Eigen::Vector3d cameraTarget_chassis{0.0, 60.0, 0.0};
  double cameraRoll_deg = 0.0;

  // Each laser's emitter; its fan contains the line from the emitter to the target and, unless
  // leaned, the chassis vertical. Laser 1 sits right of the camera, laser 2 left.
  Eigen::Vector3d laser1_chassis{95.0, 95.0, 280.0};
  Eigen::Vector3d laser2_chassis{-95.0, 95.0, 280.0};
  Eigen::Vector3d laserTarget_chassis{0.0, 60.0, 0.0};
  double laser1Lean_deg = 0.0;
  double laser2Lean_deg = 0.0;

  // The direction the head (camera and lasers together) travels as its height grows.
  Eigen::Vector3d leadScrew_chassis{0.0, 1.0, 0.0};

  // The turntable's axis, tilted from the chassis vertical about x, then about z.
  double bedTiltAboutX_deg = 0.0;
  double bedTiltAboutZ_deg = 0.0;
  double bedRadius_mm = 100.0;
  double bedThickness_mm = 15.0;

  // A plausible scanner with the small flaws of a real build: a slightly rolled camera, leaning
  // laser fans, a lead screw and a turntable not quite square to the chassis. Its lens has no
  // distortion (tests that depend on it set the coefficients themselves).
  static ScannerDesign standard();
  // The same without any flaw and without distortion.
  static ScannerDesign ideal();
};

}  // namespace qv::sim
