// What every launch sets up: the registered defaults and the start-up banner.
#include <gtest/gtest.h>

#include "core/QVLRegisteredDefaults.h"
#include "core/QVLStartupBanner.h"
#include "platform/SystemInfo.h"
#include "support/TempFolder.h"

TEST(RegisteredDefaults, RegistersTheTwentyDefaultsWithTheirKinds) {
  const auto defaults = QVLRegisteredDefaults::defaults();
  EXPECT_EQ(defaults.size(), 20u);
  qv::test::TempFolder dir;
  qv::Settings settings(dir.path() / "Settings.json");
  QVLRegisteredDefaults::registerWith(settings);

  EXPECT_EQ(settings.integerForKey("ScanViewShouldHideAdvancedPanel"), 1);
  EXPECT_FALSE(settings.boolForKey("HasShownFirstRunSetupView"));
  EXPECT_EQ(settings.integerForKey("CameraLaser1ExposureSetting"), 50);
  EXPECT_EQ(settings.integerForKey("CameraLaser2ExposureSetting"), 50);
  EXPECT_EQ(settings.integerForKey("CameraNonLaserExposureSetting"), 500);
  EXPECT_EQ(settings.integerForKey("CameraNonLaserWhitebalanceSetting"), 5000);
  EXPECT_EQ(settings.stringForKey("InstallTypeForUpgrades"), "Latest");
  EXPECT_TRUE(settings.boolForKey("EnableCrashReporting"));
  EXPECT_TRUE(settings.boolForKey("CheckForUpdatesOnStartup"));
  EXPECT_EQ(settings.integerForKey("ViewPointSize"), 2);
  EXPECT_EQ(*settings.arrayForKey("ViewerDefaultColour"), (qv::Array{0.9, 0.9, 0.9, 1.0}));
  EXPECT_EQ(settings.integerForKey("MaximumNumberOfPointsToDisplay"), 3000);
  EXPECT_TRUE(settings.boolForKey("EnableAdaptiveScanning"));
  EXPECT_EQ(settings.integerForKey("MeshingOctreeDepth"), 8);
  EXPECT_EQ(settings.integerForKey("MeshingSamplesPerNode"), 5);
  EXPECT_DOUBLE_EQ(settings.doubleForKey("AdaptiveScanMaxRotation"), 3.0);
  EXPECT_DOUBLE_EQ(settings.doubleForKey("AdaptiveScanMinRotation"), 0.125);
  EXPECT_DOUBLE_EQ(settings.doubleForKey("ScanRotationInDegrees"), 2.0);
  EXPECT_TRUE(settings.boolForKey("EnableColourScans"));
  EXPECT_FALSE(settings.boolForKey("EnableArduinoAvrDude"));

  // Booleans are registered as booleans and doubles as doubles: readers rely on the kinds.
  EXPECT_TRUE(settings.objectForKey("EnableAdaptiveScanning")->isBool());
  EXPECT_TRUE(settings.objectForKey("AdaptiveScanMinRotation")->isDouble());
  EXPECT_TRUE(settings.objectForKey("MeshingOctreeDepth")->isInteger());
}

TEST(RegisteredDefaults, AUserValueWinsAndRemovingItBringsTheDefaultBack) {
  qv::test::TempFolder dir;
  qv::Settings settings(dir.path() / "Settings.json");
  QVLRegisteredDefaults::registerWith(settings);
  for (const auto& [key, value] : QVLRegisteredDefaults::defaults()) {
    settings.setValue(key, "user");
    EXPECT_EQ(settings.stringForKey(key), "user") << key;
    settings.removeObjectForKey(key);
    EXPECT_EQ(*settings.objectForKey(key), value) << key;
  }
}

TEST(StartupBanner, PrintsTheVersionAsWritten) {
  // Read as numbers, "2.10" would print as "2.1": another version.
  EXPECT_EQ(QVLStartupBanner::versionLine("2.10", "305"), "Version: 2.10.305");
  EXPECT_EQ(QVLStartupBanner::versionLine("1.40", "7"), "Version: 1.40.7");
}

TEST(StartupBanner, FramesSevenLinesAndShowsAMissingMemoryFigure) {
  const auto lines = QVLStartupBanner::lines("2.10", "305", "x86_64", "Model", "Debian", std::nullopt);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], std::string(46, '-'));
  EXPECT_EQ(lines[1], "Version: 2.10.305");
  EXPECT_EQ(lines[2], "Machine: x86_64");
  EXPECT_EQ(lines[3], "  Model: Model");
  EXPECT_EQ(lines[4], "     OS: Debian");
  EXPECT_EQ(lines[5], " Memory: (null)");
  EXPECT_EQ(lines[6], lines[0]);
}

TEST(StartupBanner, FormatsMemoryInBinaryMegabytesAndGigabytes) {
  const unsigned long long mb = 1ULL << 20, gb = 1ULL << 30;
  EXPECT_EQ(qv::systemInfo::formatMemory(512 * mb, gb + gb / 2 - 512 * mb, 100 * mb + mb / 2),
            "512.0MB, 1.5GB, 100.5MB");
  // Figures beyond 32 bits do not wrap.
  EXPECT_EQ(qv::systemInfo::formatMemory(8 * gb, 8 * gb, 0), "8192.0MB, 16.0GB, 0.0MB");
  EXPECT_TRUE(qv::systemInfo::memory().has_value());  // this machine has /proc
}
