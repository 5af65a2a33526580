// The manual scan screen's presenter on the manual clock, against a delegate that holds every
// device request until the test answers it: the request machine, head and bed moves, the ways
// out, the setting fields, and the capture choices with their stale-result test.
#include <gtest/gtest.h>

#include <deque>

#include "acquisition/QVSImageUtil.h"
#include "core/QVLRegisteredDefaults.h"
#include "platform/Queue.h"
#include "screens/AdvancedScanPresenter.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::screens {
namespace {

using F = AdvancedScanField;
using B = AdvancedScanButton;

class HeldDelegate : public AdvancedScanDelegate {
public:
  bool connects = true;
  qv::Error connectError{qv::kScanErrorDomain, 7, "No scanner is connected"};
  std::vector<std::string> calls;
  std::deque<MotionCompletion> motions;
  std::vector<qv::Completion> disconnects;
  struct Capture {
    std::vector<int> values;
    FrameCompletion colour;
    SequenceCompletion sequence;
    LowHighCompletion lowHigh;
    qv::ErrorCallback error;
  };
  std::deque<Capture> captures;
  int cancels = 0, homes = 0, scans = 0;

  std::shared_ptr<const QVSCalibrationDetails> calibrationDetails() override { return nullptr; }
  bool connectToScanner(qv::Error* error) override {
    if (!connects && error) *error = connectError;
    return connects;
  }
  void disconnectFromScanner(qv::Completion completion) override { disconnects.push_back(std::move(completion)); }
  void cancelCapture() override { ++cancels; }
  void captureColourImage(int e, int w, FrameCompletion c, qv::ErrorCallback error) override {
    captures.push_back({{e, w}, std::move(c), {}, {}, std::move(error)});
  }
  void captureImageSequence(int e, int w, int l1, int l2, SequenceCompletion c, qv::ErrorCallback error) override {
    captures.push_back({{e, w, l1, l2}, {}, std::move(c), {}, std::move(error)});
  }
  void captureImageSequence(int e, int w, int l1, int l1a, int l2, int l2a, LowHighCompletion c,
                            qv::ErrorCallback error) override {
    captures.push_back({{e, w, l1, l1a, l2, l2a}, {}, {}, std::move(c), std::move(error)});
  }
  void moveHeadHome(MotionCompletion c) override {
    calls.push_back("home");
    motions.push_back(std::move(c));
  }
  void moveHeadByMillimeters(float mm, MotionCompletion c) override {
    calls.push_back("head " + fixedDecimals(mm, 1));
    motions.push_back(std::move(c));
  }
  void rotateBedByDegrees(float degrees, MotionCompletion c) override {
    calls.push_back("bed " + fixedDecimals(degrees, 1));
    motions.push_back(std::move(c));
  }
  void setExposure(int, QVLTuning&, qv::Completion, qv::ErrorCallback) override {}
  void captureExposureImagesForTuning(QVLTuning&, QVLTuningDelegate::ExposureImagesCompletion, qv::ErrorCallback) override {}
  void returnHome() override { ++homes; }
  void showScanScreen() override { ++scans; }

  void answerMotion(std::optional<qv::Error> error = std::nullopt) {
    ASSERT_FALSE(motions.empty());
    auto c = std::move(motions.front());
    motions.pop_front();
    c(error);
    qv::drainMainQueue();
  }
};

class RecordingView : public AdvancedScanView {
public:
  std::map<B, bool> enabled;
  std::vector<F> focused;
  int redraws = 0;
  std::string page, message;
  std::optional<std::filesystem::path> base;
  bool tuningShown = false;

  void setButtonEnabled(B button, bool on) override { enabled[button] = on; }
  void focusField(F field) override { focused.push_back(field); }
  bool isFieldFocused(F field) const override { return !focused.empty() && focused.back() == field; }
  void clearFocus() override {}
  void settingsChanged() override {}
  void setOptionShown(AdvancedScanOption, bool, bool, std::function<void()> done) override { done(); }
  void updateThumbnail(int, const DisplayImage&, bool, double) override {}
  void showLargeImage(const DisplayImage&, double) override { ++redraws; }
  void setHighlightedSlot(std::optional<int>) override {}
  void showSummaryPage(const std::string& html, const std::optional<std::filesystem::path>& b) override {
    page = html, base = b;
  }
  void setTuningPanelShown(bool shown) override { tuningShown = shown; }
  void setTuningProgress(double) override {}
  void showMessage(const std::string& text) override { message = text; }
};

// A small distinct frame: only its identity matters to these tests.
qv::SharedData frame(std::uint8_t fill) { return std::make_shared<qv::Data>(QVSImageUtil::kFrameBytes, fill); }
QVLScanResultSet set(int exposure) { return {exposure, frame(1), frame(2), frame(1)}; }

class AdvancedScanPresenterTest : public ::testing::Test {
protected:
  qv::test::ManualClockScope clock;
  qv::test::TempFolder folder;
  qv::Settings settings{folder.path() / "Settings.json"};
  std::shared_ptr<HeldDelegate> delegate = std::make_shared<HeldDelegate>();
  RecordingView view;
  std::shared_ptr<AdvancedScanPresenter> screen;

  void SetUp() override {
    settings.registerDefaults(QVLRegisteredDefaults::defaults());
    screen = makeScreen();
  }
  std::shared_ptr<AdvancedScanPresenter> makeScreen() {
    auto s = AdvancedScanPresenter::create(delegate, settings);
    s->attachView(&view);
    s->loadView();
    return s;
  }
  // Connected, homed and monitoring, with nothing in flight.
  void connect() {
    screen->connectAndMonitorScanner();
    delegate->answerMotion();
    ASSERT_TRUE(screen->isMonitoring());
  }
  void tick() { clock.advanceSeconds(AdvancedScanPresenter::kTimerInterval_s); }
  // A move requested by a button: served on the next tick, sent 0.1 s later.
  void press(const std::string& identifier) {
    if (identifier == "Up" || identifier == "Down")
      screen->moveHeadButtonPressed(identifier);
    else
      screen->rotateBedButtonPressed(identifier);
    tick();
    clock.advanceSeconds(AdvancedScanPresenter::kMoveDelay_s);
  }
  void failCapture() {
    ASSERT_FALSE(delegate->captures.empty());
    auto c = std::move(delegate->captures.front());
    delegate->captures.pop_front();
    c.error({qv::kScanErrorDomain, 12});
    qv::drainMainQueue();
  }
};

TEST_F(AdvancedScanPresenterTest, HeadMovesStayWithinTheColumnAndChangeTheHeightOnlyWhenMade) {
  connect();
  EXPECT_FALSE(view.enabled[B::Down]);
  EXPECT_TRUE(view.enabled[B::Up]);

  screen->setCurrentHeadHeight(148.0f);
  press("Up");
  EXPECT_EQ(delegate->calls.back(), "head 37.0");
  EXPECT_EQ(screen->currentState(), AdvancedScanPresenter::kStateHeadUp);
  delegate->answerMotion();
  EXPECT_FLOAT_EQ(screen->currentHeadHeight(), 185.0f);
  EXPECT_FALSE(view.enabled[B::Up]);
  EXPECT_TRUE(view.enabled[B::Down]);
  EXPECT_EQ(screen->currentState(), AdvancedScanPresenter::kStateIdle);

  screen->setCurrentHeadHeight(160.0f);
  press("Up");
  EXPECT_EQ(delegate->calls.back(), "head 25.0");
  // A failed move leaves the height where it was, so the guard at the top still holds.
  delegate->answerMotion(qv::Error{"QVLIErrorDomain", 3, "timeout"});
  EXPECT_FLOAT_EQ(screen->currentHeadHeight(), 160.0f);
  EXPECT_TRUE(view.enabled[B::Up]);
  EXPECT_EQ(screen->currentState(), AdvancedScanPresenter::kStateIdle);

  screen->setCurrentHeadHeight(30.0f);
  press("Down");
  EXPECT_EQ(delegate->calls.back(), "home");
  delegate->answerMotion();
  EXPECT_FLOAT_EQ(screen->currentHeadHeight(), 0.0f);
  EXPECT_FALSE(view.enabled[B::Down]);
  EXPECT_TRUE(view.enabled[B::Up]);

  // After a bed turn "up" needs room for a whole step; after a head move only room at all.
  screen->setCurrentHeadHeight(148.0f);
  press("LeftLeft");
  EXPECT_EQ(delegate->calls.back(), "bed 15.0");
  delegate->answerMotion();
  EXPECT_FALSE(view.enabled[B::Up]);
  EXPECT_TRUE(view.enabled[B::Down]);
  EXPECT_TRUE(view.enabled[B::RightRight]);
}

TEST_F(AdvancedScanPresenterTest, RequestsAreServedOneAtATimeAndAWayOutIsNeverLost) {
  connect();
  // Two moves before the machine runs: the later one is served.
  screen->rotateBedButtonPressed("Left");
  screen->rotateBedButtonPressed("Right");
  tick();
  clock.advanceSeconds(0.1);
  ASSERT_EQ(delegate->calls.size(), 2u);
  EXPECT_EQ(delegate->calls.back(), "bed -5.0");
  delegate->answerMotion();

  // A pending return survives a later move, whose request would otherwise leave it unserved.
  screen->homeButtonPressed();
  EXPECT_FALSE(view.enabled[B::Home]);
  screen->moveHeadButtonPressed("Up");
  EXPECT_EQ(screen->pendingState(), AdvancedScanPresenter::kRequestReturnHome);
  tick();
  EXPECT_FALSE(screen->isMonitoring());
  ASSERT_EQ(delegate->disconnects.size(), 1u);
  delegate->disconnects[0]();
  qv::drainMainQueue();
  EXPECT_EQ(delegate->homes, 1);
  EXPECT_EQ(delegate->calls.size(), 2u);  // no head move was made on the way out
}

TEST_F(AdvancedScanPresenterTest, StartDuringACaptureCancelsItAndHandsTheSettingsToTheScan) {
  connect();
  screen->textFieldDidBecomeFirstResponder(F::Laser1Exposure);
  tick();  // the first refresh starts a capture
  ASSERT_EQ(delegate->captures.size(), 1u);
  EXPECT_EQ(screen->currentState(), AdvancedScanPresenter::kStateAcquiring);
  screen->setText(F::Laser1Exposure, "200");
  screen->startScanButtonPressed();
  EXPECT_EQ(delegate->cancels, 1);
  EXPECT_FALSE(view.enabled[B::Start]);
  tick();
  EXPECT_EQ(delegate->calls.size(), 1u);  // nothing runs while the capture is in flight
  failCapture();                          // the cancel ends it; the start runs at once
  EXPECT_FALSE(screen->isMonitoring());
  ASSERT_EQ(delegate->calls.back(), "home");
  delegate->answerMotion();
  ASSERT_EQ(delegate->disconnects.size(), 1u);
  delegate->disconnects[0]();
  qv::drainMainQueue();
  EXPECT_EQ(delegate->scans, 1);
  EXPECT_TRUE(settings.boolForKey("OverrideAutoTuning"));
  EXPECT_EQ(settings.stringForKey("CameraLaser1ExposureSetting"), "200");
  EXPECT_EQ(settings.stringForKey("CameraLaser2ExposureSetting"), "200");
}

TEST_F(AdvancedScanPresenterTest, AScannerThatCannotBeReachedLeavesTheWayBackOpen) {
  delegate->connects = false;
  screen->connectAndMonitorScanner();
  EXPECT_NE(view.message.find("No scanner is connected"), std::string::npos);
  EXPECT_FALSE(view.enabled[B::Start]);
  EXPECT_TRUE(delegate->calls.empty());
  screen->homeButtonPressed();
  qv::drainMainQueue();
  ASSERT_EQ(delegate->disconnects.size(), 1u);
  delegate->disconnects[0]();
  qv::drainMainQueue();
  EXPECT_EQ(delegate->homes, 1);

  // Homing that fails is told too, and the back button still leaves.
  delegate->connects = true;
  view = {};
  screen = makeScreen();
  screen->connectAndMonitorScanner();
  delegate->answerMotion(qv::Error{"QVLIErrorDomain", 4, "The head did not reach home"});
  EXPECT_NE(view.message.find("The head did not reach home"), std::string::npos);
  EXPECT_FALSE(screen->isMonitoring());
  screen->homeButtonPressed();
  qv::drainMainQueue();
  EXPECT_EQ(delegate->disconnects.size(), 2u);

  // A tuning whose connection fails returns to idle with the panel gone and the buttons back.
  delegate->connects = true;
  view = {};
  screen = makeScreen();
  connect();
  delegate->connects = false;
  screen->autoTuningButtonPressed();
  tick();
  ASSERT_TRUE(qv::test::waitFor([&] { return screen->currentState() == AdvancedScanPresenter::kStateIdle; }));
  EXPECT_FALSE(view.tuningShown);
  EXPECT_TRUE(view.enabled[B::AutoTuning]);
  EXPECT_TRUE(view.enabled[B::Start]);
  EXPECT_FALSE(view.message.empty());
}

TEST_F(AdvancedScanPresenterTest, FieldsKeepValueIndexAndTextInStepAndAreMended) {
  const auto exposureIndex = [](std::int64_t e) {
    const auto& t = AdvancedScanPresenter::exposures();
    return std::find(t.begin(), t.end(), e) - t.begin();
  };
  // Locked, high contrast off (the defaults): one edit reaches all four laser fields, redrawn once.
  view.redraws = 0;
  screen->setText(F::Laser1Exposure, "120");
  EXPECT_EQ(view.redraws, 1);
  for (F f : {F::Laser1Exposure, F::Laser2Exposure, F::Laser1AlternateExposure, F::Laser2AlternateExposure}) {
    EXPECT_EQ(screen->value(f), 120);
    EXPECT_EQ(screen->index(f), exposureIndex(100));
  }
  screen->setText(F::Laser1Exposure, "125");  // as far from 100 as from 150: the lower position
  EXPECT_EQ(screen->index(F::Laser1Exposure), exposureIndex(100));
  screen->setIndex(F::Laser1Exposure, 99);    // beyond the table: its last entry
  EXPECT_EQ(screen->text(F::Laser2Exposure), "10000");

  screen->setText(F::Laser1Exposure, "abc");
  EXPECT_EQ(screen->value(F::Laser1Exposure), 0);
  screen->setText(F::ColourCapture, "99999999999");
  screen->setText(F::WhiteBalance, "-4");
  screen->setText(F::MinAverageRotation, "14");
  screen->setText(F::MaxAverageRotation, "4");
  screen->setText(F::BedRotation, "7");
  screen->validateAndFixFields();
  EXPECT_EQ(screen->text(F::Laser1Exposure), "10");
  EXPECT_EQ(screen->text(F::ColourCapture), "10000");  // within the slider's range, not an int overflow
  EXPECT_EQ(screen->text(F::WhiteBalance), "1");
  EXPECT_EQ(screen->text(F::MinAverageRotation), "13.000");
  EXPECT_EQ(screen->text(F::MaxAverageRotation), "15.000");
  EXPECT_EQ(screen->text(F::BedRotation), "6.00");

  const std::pair<const char*, const char*> beds[] = {{"13.5", "12.00"}, {"7.5", "7.5"}, {"100", "90.00"}, {"0.1", "0.25"}};
  for (const auto& [typed, mended] : beds) {
    screen->setText(F::BedRotation, typed);
    screen->validateAndFixFields();
    EXPECT_EQ(screen->text(F::BedRotation), mended) << typed;
  }
  screen->setText(F::MinAverageRotation, "3");
  screen->setText(F::MaxAverageRotation, "4");
  screen->validateAndFixFields();
  EXPECT_EQ(screen->text(F::MaxAverageRotation), "5.000");

  // Laser exposures 5 pass the check; what is saved is raised to the table's first entry.
  screen->setText(F::Laser1Exposure, "5");
  screen->validateAndFixFields();
  EXPECT_EQ(screen->text(F::Laser1Exposure), "5");
  screen->saveScanSettings();
  EXPECT_EQ(settings.stringForKey("CameraLaser1ExposureSetting"), "10");

  // Two exposures per laser are saved as "normal,alternate" and bring high contrast back on.
  screen->setEnableHighContrastScanning(true);
  screen->setLaserExposuresAreUnlocked(true);
  screen->setText(F::Laser1Exposure, "50");
  screen->setText(F::Laser1AlternateExposure, "200");
  screen->setText(F::Laser2Exposure, "40");
  screen->setText(F::Laser2AlternateExposure, "40");
  screen->setEnableHighContrastScanning(false, false, false);  // off without animation keeps the texts
  EXPECT_EQ(screen->text(F::Laser1AlternateExposure), "200");
  screen->saveScanSettings();
  EXPECT_EQ(settings.stringForKey("CameraLaser1ExposureSetting"), "50,200");
  EXPECT_EQ(settings.stringForKey("CameraLaser2ExposureSetting"), "40");
  auto again = makeScreen();
  EXPECT_TRUE(again->enableHighContrastScanning());
  EXPECT_TRUE(again->laserExposuresAreUnlocked());
  EXPECT_EQ(again->text(F::Laser1AlternateExposure), "200");
  EXPECT_EQ(again->text(F::Laser2Exposure), "40");

  // Locking copies laser 1's texts to laser 2; factory values come from the registered defaults.
  again->setLaserExposuresAreUnlocked(false);
  EXPECT_EQ(again->text(F::Laser2AlternateExposure), "200");
  again->restoreDefaults();
  for (F f : {F::Laser1Exposure, F::Laser2Exposure, F::Laser1AlternateExposure, F::Laser2AlternateExposure})
    EXPECT_EQ(again->text(f), "50");
  EXPECT_EQ(again->text(F::ColourCapture), "500");
  EXPECT_EQ(again->text(F::WhiteBalance), "5000");
  EXPECT_EQ(again->text(F::BedRotation), "2.00");
  EXPECT_EQ(again->text(F::MinAverageRotation), "0.125");
  EXPECT_EQ(again->text(F::MaxAverageRotation), "3.000");
}

TEST_F(AdvancedScanPresenterTest, CapturesSendRaisedValuesAndThrowAwayStaleResults) {
  connect();
  screen->setText(F::ColourCapture, "5");
  screen->setText(F::WhiteBalance, "0");
  // The colour field chosen but no laser pictures yet: the full normal sequence is taken.
  screen->textFieldDidBecomeFirstResponder(F::ColourCapture);
  screen->setText(F::WhiteBalance, "0");  // the focus mended it; put it back under the first entry
  tick();
  ASSERT_EQ(delegate->captures.size(), 1u);
  EXPECT_EQ(delegate->captures[0].values, (std::vector<int>{10, 1, 50, 50}));
  // The laser exposure changes while the sequence is taken: its pictures are dropped.
  screen->setText(F::Laser1Exposure, "60");
  auto c = std::move(delegate->captures.front());
  delegate->captures.pop_front();
  c.sequence(frame(9), set(50), set(50));
  qv::drainMainQueue();
  EXPECT_FALSE(screen->laser1ScanResultSet());
  EXPECT_FALSE(screen->colourCaptureImageData());
  EXPECT_EQ(screen->currentState(), AdvancedScanPresenter::kStateIdle);
  EXPECT_TRUE(screen->analysisSummaries().empty());

  // High contrast: the colour values go as they stand, and the same values decide staleness.
  screen->setEnableHighContrastScanning(true);
  screen->textFieldDidBecomeFirstResponder(F::Laser1AlternateExposure);
  screen->setText(F::ColourCapture, "5");
  screen->setText(F::Laser1AlternateExposure, "300");
  tick();
  ASSERT_EQ(delegate->captures.size(), 1u);
  EXPECT_EQ(delegate->captures[0].values, (std::vector<int>{5, 1, 60, 300, 60, 300}));
  c = std::move(delegate->captures.front());
  delegate->captures.pop_front();
  c.lowHigh(frame(9), set(60), set(300), set(60), set(300));
  qv::drainMainQueue();
  ASSERT_TRUE(screen->laser1AlternateScanResultSet());
  EXPECT_EQ(screen->laser1AlternateScanResultSet()->exposure, 300);
  EXPECT_TRUE(screen->filteredImageData());
  EXPECT_EQ(screen->analysisSummaries().count("60 300 60 300"), 1u);
  EXPECT_FALSE(view.page.empty());
  EXPECT_TRUE(view.base.has_value());

  // Back to an exposure analysed before: its summary comes from the cache, without a base.
  screen->setText(F::Laser1AlternateExposure, "400");
  EXPECT_FALSE(screen->laser1AlternateScanResultSet());
  EXPECT_FALSE(screen->filteredImageData());
  screen->setText(F::Laser1AlternateExposure, "300");
  EXPECT_FALSE(view.base.has_value());
  EXPECT_EQ(screen->analysisSummaries().size(), 1u);
}

TEST_F(AdvancedScanPresenterTest, ThumbnailSixKeepsTheFilteredPictureChosen) {
  screen->displayImageButtonPressed(6);
  EXPECT_EQ(screen->selectedImageIndex(), 5u);
  EXPECT_EQ(screen->imageToDisplay(), 4);
  screen->textFieldDidBecomeFirstResponder(F::Laser2Exposure);
  EXPECT_EQ(screen->selectedImageIndex(), 5u);
  EXPECT_EQ(screen->imageToDisplay(), 2);
  screen->displayImageButtonPressed(3);  // locked: laser 2 is edited through laser 1's field
  EXPECT_EQ(view.focused.back(), F::Laser1Exposure);
  EXPECT_EQ(screen->selectedImageIndex(), 2u);
}

TEST(AdvancedScanPointTest, APointCountsWithin90MillimetresOfTheAxisAndFiveAboveTheBed) {
  EXPECT_TRUE(AdvancedScanPresenter::isPointOnObject(89, 10, 0));
  EXPECT_FALSE(AdvancedScanPresenter::isPointOnObject(60, 10, 70));
  EXPECT_FALSE(AdvancedScanPresenter::isPointOnObject(10, 4.9, 10));
  EXPECT_TRUE(AdvancedScanPresenter::isPointOnObject(10, 5.0, 10));
}

}  // namespace
}  // namespace qv::screens
