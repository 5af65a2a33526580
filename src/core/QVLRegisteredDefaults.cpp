// The registered defaults. Integers, booleans and doubles are registered as such, because readers
// use integer, boolean and double getters on them.
#include "core/QVLRegisteredDefaults.h"

namespace QVLRegisteredDefaults {

qv::Dictionary defaults() {
  return {
      {"ScanViewShouldHideAdvancedPanel", 1},
      {"HasShownFirstRunSetupView", false},
      {"CameraLaser1ExposureSetting", 50},
      {"CameraLaser2ExposureSetting", 50},
      {"CameraNonLaserExposureSetting", 500},
      {"CameraNonLaserWhitebalanceSetting", 5000},
      {"InstallTypeForUpgrades", "Latest"},
      {"EnableCrashReporting", 1},
      {"CheckForUpdatesOnStartup", 1},
      {"ViewPointSize", 2},
      // A grey of white level 0.9, fully opaque, as red, green, blue and alpha.
      {"ViewerDefaultColour", qv::Array{0.9, 0.9, 0.9, 1.0}},
      {"MaximumNumberOfPointsToDisplay", 3000},
      {"EnableAdaptiveScanning", true},
      {"MeshingOctreeDepth", 8},
      {"MeshingSamplesPerNode", 5},
      {"AdaptiveScanMaxRotation", 3.0},
      {"AdaptiveScanMinRotation", 0.125},
      {"ScanRotationInDegrees", 2.0},
      {"EnableColourScans", true},
      {"EnableArduinoAvrDude", false},
  };
}

void registerWith(qv::Settings& settings) { settings.registerDefaults(defaults()); }

}  // namespace QVLRegisteredDefaults
