// The calibration wizard's state machine on the manual clock, with a runner that records the
// passes it is asked for and lets the test end them.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Queue.h"
#include "screens/CalibrationWizardPresenter.h"
#include "support/ManualClockScope.h"

namespace qv::screens {
namespace {

using State = CalibrationWizardState;
using P = CalibrationWizardPresenter;

struct Pass {
  bool second = false;
  int device = 0;
  qv::Completion completion;
  CalibrationRunner::Update update;
  qv::ErrorCallback error;
};

class FakeRunner : public CalibrationRunner {
public:
  bool calibrated = false;
  std::vector<Pass> passes;
  int cancels = 0, huds = 0;
  bool isCalibrated() const override { return calibrated; }
  void startFirstPassCalibration(int device, qv::Completion c, Update u, qv::ErrorCallback e) override {
    passes.push_back({false, device, std::move(c), std::move(u), std::move(e)});
  }
  void startSecondPassCalibration(int device, qv::Completion c, Update u, qv::ErrorCallback e) override {
    passes.push_back({true, device, std::move(c), std::move(u), std::move(e)});
  }
  void cancelScannerCalibration() override { ++cancels; }
  void showHudScreen() override { ++huds; }
};

class FakeNotifier : public CalibrationNotifier {
public:
  std::vector<std::string> texts;
  void notify(const std::string& title, const std::string& text) override { texts.push_back(title + ": " + text); }
};

class FakeView : public CalibrationWizardView {
public:
  CalibrationPage page = CalibrationPage::None;
  bool white = false;
  std::string cancelTitle, title, progressText, failure;
  bool cancelEnabled = false, progressVisible = false;
  double progress = -1;
  void showPage(CalibrationPage p, bool w) override {
    page = p;
    white = w;
  }
  void setCancelButton(const std::string& t, bool enabled) override {
    cancelTitle = t;
    cancelEnabled = enabled;
  }
  void setTitleText(const std::string& t) override { title = t; }
  void setProgressText(const std::string& t) override { progressText = t; }
  void setProgress(double f, bool visible) override {
    progress = f;
    progressVisible = visible;
  }
  void setFailureMessage(const std::string& t) override { failure = t; }
};

class CalibrationWizardTest : public ::testing::Test {
protected:
  qv::test::ManualClockScope clock;
  FakeRunner runner;
  FakeNotifier notifier;
  FakeView view;
  std::shared_ptr<P> wizard = P::create(runner, &notifier);
  void SetUp() override { wizard->attachView(&view); }

  // Box or card, placed, Next, and the 1 s wait: the first pass has started.
  void runToFirstPass(bool card) {
    if (card) {
      wizard->selectCardButtonPressed();
      wizard->nextButtonPressed();
    } else {
      wizard->selectBoxButtonPressed();
    }
    wizard->nextButtonPressed();
    clock.advanceSeconds(1.0);
  }
};

TEST_F(CalibrationWizardTest, BackAndNextFollowTheTransitionTable) {
  EXPECT_EQ(view.page, CalibrationPage::FirstTimeCalibrationType);
  EXPECT_FALSE(view.white);
  runner.calibrated = true;
  wizard->resetContent();
  EXPECT_EQ(view.page, CalibrationPage::ExistingCalibrationType);

  // Next does nothing in the choice, and Back from the card's placement returns to its building.
  wizard->nextButtonPressed();
  EXPECT_EQ(wizard->currentState(), State::ChooseTarget);
  wizard->selectCardButtonPressed();
  EXPECT_EQ(view.page, CalibrationPage::Step1CardConstruction);
  EXPECT_TRUE(view.white);
  wizard->nextButtonPressed();
  EXPECT_EQ(view.page, CalibrationPage::Step1Card);
  wizard->backButtonPressed();
  EXPECT_EQ(wizard->currentState(), State::BuildCard);
  wizard->backButtonPressed();
  EXPECT_EQ(wizard->currentState(), State::ChooseTarget);
  // ... while Back from the box's placement returns to the choice.
  wizard->selectBoxButtonPressed();
  EXPECT_EQ(view.page, CalibrationPage::Step1Box);
  wizard->backButtonPressed();
  EXPECT_EQ(wizard->currentState(), State::ChooseTarget);

  // While a pass runs neither Next nor Back changes anything, nor starts a second pass.
  runToFirstPass(false);
  EXPECT_EQ(view.page, CalibrationPage::Scan);
  wizard->nextButtonPressed();
  wizard->backButtonPressed();
  clock.advanceSeconds(2.0);
  EXPECT_EQ(wizard->currentState(), State::FirstPass);
  EXPECT_EQ(runner.passes.size(), 1u);
}

TEST_F(CalibrationWizardTest, TwoPassesStartAfterOneSecondAndEndInSuccess) {
  wizard->selectCardButtonPressed();
  wizard->nextButtonPressed();
  wizard->nextButtonPressed();
  clock.advanceSeconds(0.9);
  EXPECT_TRUE(runner.passes.empty());
  clock.advanceSeconds(0.1);
  ASSERT_EQ(runner.passes.size(), 1u);
  EXPECT_FALSE(runner.passes[0].second);
  EXPECT_EQ(runner.passes[0].device, kCalibrationDeviceCard);

  // Reports from a worker thread reach the view on the main queue; a negative figure hides the
  // indicator and the next one shows it again; empty texts leave the last ones.
  std::thread worker([&] {
    auto status = QVLStatus::statusWithType(QVLStatusTypeCalibration);
    status->setTitle("Calibrating");
    status->setMessage("Capturing images");
    status->setPercentageComplete(0.25f);
    runner.passes[0].update(status);
    auto hidden = QVLStatus::statusWithType(QVLStatusTypeCalibration);
    hidden->setPercentageComplete(-1.0f);
    runner.passes[0].update(hidden);
  });
  worker.join();
  qv::drainMainQueue();
  EXPECT_EQ(view.title, "Calibrating");
  EXPECT_EQ(view.progressText, "Capturing images");
  EXPECT_FALSE(view.progressVisible);
  auto shown = QVLStatus::statusWithType(QVLStatusTypeCalibration);
  shown->setPercentageComplete(0.5f);
  runner.passes[0].update(shown);
  qv::drainMainQueue();
  EXPECT_TRUE(view.progressVisible);
  EXPECT_DOUBLE_EQ(view.progress, 0.5);
  EXPECT_EQ(view.progressText, "Capturing images");

  runner.passes[0].completion();
  EXPECT_EQ(wizard->currentState(), State::FirstPass);  // only on the main queue
  qv::drainMainQueue();
  EXPECT_EQ(view.page, CalibrationPage::Step2Card);
  wizard->nextButtonPressed();
  clock.advanceSeconds(1.0);
  ASSERT_EQ(runner.passes.size(), 2u);
  EXPECT_TRUE(runner.passes[1].second);
  EXPECT_TRUE(notifier.texts.empty());
  runner.passes[1].completion();
  qv::drainMainQueue();
  EXPECT_EQ(view.page, CalibrationPage::Completed);
  EXPECT_EQ(notifier.texts, std::vector<std::string>{"Quorvel: The scanner calibration has completed successfully"});
  wizard->doneButtonPressed();
  EXPECT_EQ(runner.huds, 1);
}

TEST_F(CalibrationWizardTest, FailureTextsByDomainAndCode) {
  auto failWith = [&](const qv::Error& error) {
    runToFirstPass(false);
    runner.passes.back().error(error);
    qv::drainMainQueue();
    return view.failure;
  };
  Dictionary reason{{"Reason", "Use a longer exposure"}};
  EXPECT_EQ(failWith({kScanErrorDomain, 10, "", reason}), "Use a longer exposure");
  EXPECT_EQ(wizard->currentState(), State::Failed);
  EXPECT_EQ(view.page, CalibrationPage::Failed);
  EXPECT_FALSE(wizard->isCardCalibration());  // the choice survives a failure
  EXPECT_EQ(failWith({kScanErrorDomain, 6, "", reason}), P::kPlacementText);
  EXPECT_EQ(failWith({kScanErrorDomain, 9}), P::kCommunicationText);
  EXPECT_EQ(failWith({kScanErrorDomain, 7}), P::kNoScannerText);
  EXPECT_EQ(failWith({kScanErrorDomain, 3}), P::kGenericFailureText);
  // The device library's code 1 is a missing scanner, not a cancellation.
  EXPECT_EQ(failWith({kControlErrorDomain, 1}), P::kNoScannerText);
  EXPECT_EQ(wizard->currentState(), State::Failed);
  EXPECT_EQ(failWith({kInterpreterErrorDomain, 12}), P::kGenericFailureText);
  EXPECT_EQ(runner.huds, 0);

  // A failure reported outside a pass goes the same way.
  wizard->handleCalibrationFailureWithError({kScanErrorDomain, 6});
  qv::drainMainQueue();
  EXPECT_EQ(view.failure, P::kPlacementText);
}

TEST_F(CalibrationWizardTest, CancellationReturnsToTheChoiceAndTheMainScreen) {
  for (int code : {1, 11, 12}) {
    runToFirstPass(true);
    auto status = QVLStatus::statusWithType(QVLStatusTypeCalibration);
    status->setPercentageComplete(0.7f);
    runner.passes.back().update(status);
    qv::drainMainQueue();
    wizard->cancelActiveCalibrationButtonPressed();
    EXPECT_EQ(view.cancelTitle, "Cancelling...");
    EXPECT_FALSE(view.cancelEnabled);
    EXPECT_EQ(wizard->currentState(), State::FirstPass);  // until the pass reports
    runner.passes.back().error({kScanErrorDomain, code});
    qv::drainMainQueue();
    EXPECT_EQ(wizard->currentState(), State::ChooseTarget) << code;
    EXPECT_EQ(view.cancelTitle, "Cancel");
    EXPECT_TRUE(view.cancelEnabled);
    EXPECT_DOUBLE_EQ(view.progress, 0.0);
    EXPECT_TRUE(wizard->isCardCalibration());
  }
  EXPECT_EQ(runner.cancels, 3);
  EXPECT_EQ(runner.huds, 3);
}

TEST_F(CalibrationWizardTest, CancelBeforeThePassStartsStartsNothing) {
  wizard->selectBoxButtonPressed();
  wizard->nextButtonPressed();
  clock.advanceSeconds(0.5);
  wizard->cancelActiveCalibrationButtonPressed();
  EXPECT_EQ(wizard->currentState(), State::ChooseTarget);
  EXPECT_EQ(runner.huds, 1);
  EXPECT_EQ(view.cancelTitle, "Cancel");
  clock.advanceSeconds(5.0);
  EXPECT_TRUE(runner.passes.empty());
  EXPECT_EQ(runner.cancels, 0);

  // The same in the second pass's window; and a reset while a start is due drops it too.
  runToFirstPass(false);
  runner.passes[0].completion();
  qv::drainMainQueue();
  wizard->nextButtonPressed();
  wizard->cancelActiveCalibrationButtonPressed();
  clock.advanceSeconds(2.0);
  EXPECT_EQ(runner.passes.size(), 1u);
  wizard->selectBoxButtonPressed();
  wizard->nextButtonPressed();
  wizard->resetContent();
  clock.advanceSeconds(2.0);
  EXPECT_EQ(runner.passes.size(), 1u);
  // A late report of a dropped pass changes nothing.
  runner.passes[0].error({kScanErrorDomain, 6});
  qv::drainMainQueue();
  EXPECT_EQ(wizard->currentState(), State::ChooseTarget);
}

}  // namespace
}  // namespace qv::screens
