// The preferences window's pane rules, the General pane's label colour, and the acknowledgements.
#include <gtest/gtest.h>

#include <fstream>

#include "screens/AboutPresenter.h"
#include "screens/GeneralPreferencesPresenter.h"
#include "screens/PreferenceFields.h"
#include "screens/PreferencesWindowPresenter.h"
#include "screens/ScreensTestSupport.h"

namespace qv::screens::test {
namespace {

namespace fs = std::filesystem;

class PreferencesTest : public ScreensTest {
protected:
  std::vector<PreferencePane> panes{{"GeneralPreferences", "General", {440, 520}, false, false},
                                    {},
                                    {"ViewerPreferences", "Viewer", {400, 300}, true, false}};
};

TEST_F(PreferencesTest, PanesAreChosenFromTheSettingsAndCycleOverPlaceholders) {
  {
    PreferencesWindowPresenter window(panes, "Preferences", *settings);
    EXPECT_EQ(window.toolbarItemIdentifiers(),
              (std::vector<std::string>{"GeneralPreferences", PreferencesWindowPresenter::kFlexibleSpace, "ViewerPreferences"}));
    EXPECT_EQ(window.initialSelection(), 0u);
    auto general = window.select(0);
    ASSERT_TRUE(general);
    // Not resizable either way: the minimum and the maximum are the designed size.
    EXPECT_FALSE(general->resizable());
    EXPECT_EQ(general->contentSize, (SizeF{440, 520}));
    EXPECT_EQ(general->maximumContentSize, (SizeF{440, 520}));
    EXPECT_FALSE(window.select(0));  // already shown
    EXPECT_FALSE(window.select(1));  // a flexible space
    ASSERT_EQ(window.nextIndex(), 2u);
    window.select(2);
    window.paneDidResize({520, 410});
    window.windowDidMove({120, 80});
    EXPECT_EQ(window.nextIndex(), 0u);
    EXPECT_EQ(window.previousIndex(), 0u);
  }
  // The next run comes back to the Viewer pane at its saved width (its height is fixed).
  PreferencesWindowPresenter again(panes, "", *settings);
  ASSERT_EQ(again.initialSelection(), 2u);
  EXPECT_EQ(again.storedTopLeft(), (PointF{120, 80}));
  auto viewer = again.select(2);
  ASSERT_TRUE(viewer);
  EXPECT_EQ(viewer->contentSize, (SizeF{520, 300}));
  EXPECT_EQ(viewer->minimumContentSize, (SizeF{400, 300}));
  EXPECT_EQ(again.windowTitle(), "Viewer");  // no title given: the pane's label

  // A stored pane that no longer exists falls back to the first.
  settings->setValue(PreferencesWindowPresenter::kSelectedKey, "Gone");
  EXPECT_EQ(PreferencesWindowPresenter(panes, "", *settings).initialSelection(), 0u);
  EXPECT_EQ(rectFromString(stringFromRect({{0, 0}, {520.5, 410}})), (RectF{{0, 0}, {520.5, 410}}));
  EXPECT_FALSE(pointFromString("{1, 2, 3}"));
}

class RecordingPreferencesView : public GeneralPreferencesView {
public:
  std::vector<std::string> focus;
  Rgba colour;
  void focusLaser1ExposureField() override { focus.push_back("laser1"); }
  void focusDegreesToRotateField() override { focus.push_back("degrees"); }
  void setScanRotationLabelColour(Rgba c) override { colour = c; }
};

TEST_F(PreferencesTest, TheRotationLabelsShowOnlyWhileTheFixedStepIsInForce) {
  settings->registerDefaults({{"EnableAdaptiveScanning", true}});
  RecordingPreferencesView view;
  auto pane = GeneralPreferencesPresenter::create(*settings, view);
  EXPECT_EQ(view.colour, enableToColour(false));
  settings->setValue("OverrideScanRotationAndHeight", true);
  qv::drainMainQueue();
  EXPECT_EQ(view.colour, enableToColour(false));  // adaptive scanning still on
  clock.advanceSeconds(0.1);
  EXPECT_EQ(view.focus, std::vector<std::string>{"degrees"});
  settings->setValue("EnableAdaptiveScanning", false);
  qv::drainMainQueue();
  EXPECT_EQ(view.colour, enableToColour(true));
  settings->setValue("OverrideAutoTuning", true);
  qv::drainMainQueue();
  clock.advanceSeconds(0.1);
  EXPECT_EQ(view.focus, (std::vector<std::string>{"degrees", "laser1"}));
}

TEST_F(PreferencesTest, TheAcknowledgementsAreCopiedOnceReadOnlyAndOpenedEachTime) {
  const fs::path resource = temp.path() / "Credits.rtf";
  std::ofstream(resource) << "{\\rtf1 thanks}";
  std::vector<fs::path> opened;
  auto open = [&](const fs::path& p) { opened.push_back(p); };
  ASSERT_TRUE(openCredits(libraryFolder(), resource, open));
  fs::remove(resource);  // the second press must not need the resource
  ASSERT_TRUE(openCredits(libraryFolder(), resource, open));
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], libraryFolder() / "Credits.rtf");
  EXPECT_EQ(fs::status(opened[0]).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  // A copy that cannot be made opens nothing.
  fs::path elsewhere = temp.path() / "other";
  EXPECT_FALSE(openCredits(elsewhere, temp.path() / "missing.rtf", open));
  EXPECT_EQ(opened.size(), 2u);
  EXPECT_FALSE(fs::exists(elsewhere / "Credits.rtf"));
  EXPECT_EQ(aboutVersionText("2.10", "305"), "Version 2.10 (305)");
}

// A laser's field shows and keeps its alternate exposure; the fields follow settings that other
// screens write, and leaving a field never rewrites them with what it showed before.
TEST_F(PreferencesTest, ExposureFieldsKeepAlternatesAndFollowOtherWriters) {
  const PreferenceField laser{"CameraLaser1ExposureSetting", PreferenceFieldKind::ExposureList};
  const PreferenceField colour{"CameraNonLaserExposureSetting", PreferenceFieldKind::Exposure};
  const PreferenceField step{"ScanRotationInDegrees", PreferenceFieldKind::RotationStep};
  settings->registerDefaults({{"CameraLaser1ExposureSetting", 50}, {"CameraNonLaserExposureSetting", 500},
                              {"ScanRotationInDegrees", 2.0}});
  EXPECT_EQ(preferenceFieldText(*settings, laser), "50");
  EXPECT_EQ(preferenceFieldText(*settings, step), "2");

  std::vector<std::string> told;
  {
    PreferenceBindings bindings(*settings, {laser.key, colour.key}, [&](const std::string& key) { told.push_back(key); });
    settings->setValue("CameraLaser1ExposureSetting", "50,200");  // the manual scan screen's form
    settings->setValue("MeshingOctreeDepth", 9);                  // not shown by these fields
    settings->setValue("CameraNonLaserExposureSetting", 650);
  }
  settings->setValue("CameraNonLaserExposureSetting", 700);  // after the window let go
  EXPECT_EQ(told, (std::vector<std::string>{laser.key, colour.key}));
  EXPECT_EQ(preferenceFieldText(*settings, laser), "50, 200");

  // Committing what is shown writes nothing; the same values in another spacing neither.
  std::string error;
  EXPECT_TRUE(commitPreferenceField(*settings, laser, "50,200", &error));
  EXPECT_TRUE(commitPreferenceField(*settings, laser, " 50 , 200", &error));
  EXPECT_EQ(settings->stringForKey(laser.key), "50,200");
  EXPECT_TRUE(commitPreferenceField(*settings, laser, "60,200", &error));
  EXPECT_EQ(settings->stringForKey(laser.key), "60, 200");
  EXPECT_TRUE(commitPreferenceField(*settings, laser, "80", &error));
  EXPECT_EQ(settings->stringForKey(laser.key), "80");
  // Refused texts leave the setting and say why.
  EXPECT_FALSE(commitPreferenceField(*settings, laser, "50;100", &error));
  EXPECT_EQ(error, "Numbers must be separated by a comma");
  EXPECT_FALSE(commitPreferenceField(*settings, laser, "50,0", &error));
  EXPECT_EQ(error, "Exposures must be between 0 and 10000");
  EXPECT_EQ(settings->stringForKey(laser.key), "80");
  EXPECT_FALSE(commitPreferenceField(*settings, step, "7", &error));
  EXPECT_EQ(error, "The value should evenly divide 360");
  EXPECT_TRUE(commitPreferenceField(*settings, step, "1.5", &error));
  EXPECT_DOUBLE_EQ(settings->doubleForKey(step.key), 1.5);
  EXPECT_FALSE(commitPreferenceField(*settings, colour, "", &error));
  EXPECT_EQ(settings->integerForKey(colour.key), 700);
}

}  // namespace
}  // namespace qv::screens::test
