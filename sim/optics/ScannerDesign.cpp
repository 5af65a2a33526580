// The simulated scanner's stock builds.
#include "sim/optics/ScannerDesign.h"

namespace qv::sim {

ScannerDesign ScannerDesign::ideal() { return ScannerDesign{}; }

ScannerDesign ScannerDesign::standard() {
  ScannerDesign d;
  d.cameraRoll_deg = 0.6;
  d.laser1Lean_deg = 1.5;
  d.laser2Lean_deg = -0.8;
  d.laser1_chassis = {96.5, 93.0, 281.0};
  d.laser2_chassis = {-94.0, 96.5, 279.0};
  d.leadScrew_chassis = {0.004, 1.0, -0.006};
  d.bedTiltAboutX_deg = 0.7;
  d.bedTiltAboutZ_deg = -0.4;
  return d;
}

}  // namespace qv::sim
