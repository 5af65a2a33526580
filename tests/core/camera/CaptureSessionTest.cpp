// The capture session on the manual clock with a hand-fed camera: request outcomes and the queues
// they arrive on, the watchdog's ten-second rule and its flags, connecting (and undoing a failed
// connection), disconnecting and the camera failing while running.
#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <future>
#include <optional>

#include "CameraTestSupport.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::test {
namespace {

// What became of one request, and on which queue.
struct Outcome {
  std::mutex mutex;
  std::optional<std::vector<SharedData>> frames;
  std::optional<int> code;
  bool onCameraQueue = false, onMainQueue = false;
  int calls = 0;

  FramesCompletion completion(const QueuePtr& cameraQueue) {
    return [this, cameraQueue](const std::vector<SharedData>& f) {
      std::lock_guard lock(mutex);
      frames = f;
      note(cameraQueue);
    };
  }
  ErrorCallback error(const QueuePtr& cameraQueue) {
    return [this, cameraQueue](const Error& e) {
      std::lock_guard lock(mutex);
      EXPECT_EQ(e.domain, kScanErrorDomain);
      code = e.code;
      note(cameraQueue);
    };
  }
  void note(const QueuePtr& cameraQueue) {
    ++calls;
    onCameraQueue = cameraQueue->isCurrent();
    onMainQueue = isMainQueue();
  }
  bool ended() {
    std::lock_guard lock(mutex);
    return calls > 0;
  }
};

class CaptureSessionTest : public ::testing::Test {
protected:
  CaptureSessionTest() : settings_(folder_.path() / "Settings.json") {
    QVLCameraCaptureSession::Links links;
    links.lockQueue = cameraQueue_;
    links.backend = camera_;
    links.settings = &settings_;
    links.inhibitor = inhibitor_;
    links.device = [this]() -> std::shared_ptr<QVLCDeviceProtocol> { return device_; };
    links.deviceInterpreter = [this]() -> std::shared_ptr<QVLIInterpreterProtocol> { return interpreter_; };
    links.ownersPauseOrCancelPending = [this] { return driverCancel_.load(); };
    links.clearOwnersPauseAndCancel = [this] { driverCancel_ = false; };
    session_ = QVLCameraCaptureSession::create(links);
  }
  ~CaptureSessionTest() override {
    session_->disconnectFromScanner({}, {});
    settle();
  }

  void connect() {
    Error error;
    ASSERT_TRUE(session_->connectToScanner(&error)) << error.text();
  }
  void request(Outcome& outcome) {
    session_->captureCameraImages(1, outcome.completion(cameraQueue_), outcome.error(cameraQueue_));
    ASSERT_TRUE(waitFor([&] { return session_->hasCompletionHandler() || outcome.ended(); }));
  }
  // Waits until the camera queue and the main queue have nothing left to do.
  void settle() {
    std::atomic<bool> done{false};
    cameraQueue_->async([&] { mainQueue()->async([&] { done = true; }); });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
  }

  ManualClockScope clock_;
  TempFolder folder_;
  Settings settings_;
  QueuePtr cameraQueue_ = makeSerialQueue("Camera queue");
  std::shared_ptr<HandFedCamera> camera_ = std::make_shared<HandFedCamera>();
  std::shared_ptr<FakeInhibitor> inhibitor_ = std::make_shared<FakeInhibitor>();
  std::shared_ptr<FakeSerialDevice> device_ = std::make_shared<FakeSerialDevice>();
  std::shared_ptr<RecordingInterpreter> interpreter_ = std::make_shared<RecordingInterpreter>();
  std::atomic<bool> driverCancel_{false};
  std::shared_ptr<QVLCameraCaptureSession> session_;
};

TEST_F(CaptureSessionTest, RequestsEndOnceEachWithTheirFramesOrTheirCode) {
  connect();
  // One full frame completes a request on the main queue.
  Outcome one;
  request(one);
  ASSERT_TRUE(camera_->deliver(HandFedCamera::frame()));
  ASSERT_TRUE(waitFor([&] { return one.ended(); }));
  ASSERT_TRUE(one.frames);
  ASSERT_EQ(one.frames->size(), 1u);
  EXPECT_EQ(one.frames->front()->size(), 4915200u);
  EXPECT_TRUE(one.onMainQueue);
  EXPECT_EQ(session_->numberOfImagesToCapture(), 0u);

  // A newer request replaces a pending one: -1 on the Camera queue, and only the newer completes.
  Outcome replaced, newer;
  request(replaced);
  request(newer);
  ASSERT_TRUE(waitFor([&] { return replaced.ended(); }));
  EXPECT_EQ(replaced.code, -1);
  EXPECT_TRUE(replaced.onCameraQueue);
  camera_->deliver(HandFedCamera::frame());
  ASSERT_TRUE(waitFor([&] { return newer.ended(); }));
  EXPECT_TRUE(newer.frames);
  settle();
  EXPECT_EQ(replaced.calls, 1);

  // A frame copied while an earlier request was pending is not the next request's frame, even
  // when it reaches the Camera queue after that request: it may predate a laser switched on.
  {
    Outcome earlier, later;
    request(earlier);
    std::promise<void> release;
    cameraQueue_->async([gate = release.get_future().share()] { gate.wait(); });
    ASSERT_TRUE(camera_->deliverNow(HandFedCamera::frame(4915200, 1)));
    session_->captureCameraImages(1, later.completion(cameraQueue_), later.error(cameraQueue_));
    ASSERT_TRUE(camera_->deliverNow(HandFedCamera::frame(4915200, 2)));
    release.set_value();
    ASSERT_TRUE(waitFor([&] { return earlier.ended(); }));
    EXPECT_EQ(earlier.frames->front()->front(), 1);
    settle();
    EXPECT_FALSE(later.ended());
    camera_->deliver(HandFedCamera::frame(4915200, 3));
    ASSERT_TRUE(waitFor([&] { return later.ended(); }));
    ASSERT_TRUE(later.frames);
    EXPECT_EQ(later.frames->front()->front(), 3);
  }

  // A frame one byte short or long fails with 9; one that cannot be read with 8.
  for (const auto& [frame, code] : {std::pair{HandFedCamera::frame(4915199), 9}, {HandFedCamera::frame(4915201), 9},
                                    {SharedData(), 8}}) {
    Outcome failed;
    request(failed);
    camera_->deliver(frame);
    ASSERT_TRUE(waitFor([&] { return failed.ended(); }));
    EXPECT_EQ(failed.code, code);
    EXPECT_TRUE(failed.onMainQueue);
    EXPECT_EQ(session_->numberOfImagesCaptured(), 0u);
  }

  // Paused: frames without a request are dropped; the next frame fails a request with 12.
  session_->setShouldPauseScan(true);
  camera_->deliver(HandFedCamera::frame());
  settle();
  Outcome paused;
  request(paused);
  camera_->deliver(HandFedCamera::frame());
  ASSERT_TRUE(waitFor([&] { return paused.ended(); }));
  EXPECT_EQ(paused.code, 12);
  session_->setShouldPauseScan(false);

  // Disconnected: a pending request ends with 8, and a new one fails at once on the Camera queue.
  Outcome pending, late;
  request(pending);
  session_->disconnectFromScanner({}, {});
  ASSERT_TRUE(waitFor([&] { return pending.ended(); }));
  EXPECT_EQ(pending.code, 8);
  EXPECT_TRUE(pending.onMainQueue);
  session_->captureCameraImages(1, late.completion(cameraQueue_), late.error(cameraQueue_));
  ASSERT_TRUE(waitFor([&] { return late.ended(); }));
  EXPECT_EQ(late.code, 8);
  EXPECT_TRUE(late.onCameraQueue);
}

TEST_F(CaptureSessionTest, TheWatchdogFailsOnlyAnOldRequestWithAPauseOrCancelPending) {
  connect();
  // Flags set with nothing pending: nothing happens and they stay set.
  driverCancel_ = true;
  clock_.advanceSeconds(12);
  settle();
  EXPECT_TRUE(driverCancel_);
  driverCancel_ = false;

  Outcome outcome;
  request(outcome);
  const TimePoint requested = *session_->cameraRequestDate();
  auto tickAt = [&](double age_s) {
    clock_.clock()->advance(requested + seconds(age_s) - now());
    session_->cameraWatchdogTick();
    settle();
  };
  session_->setShouldPauseScan(true);
  tickAt(9.9);
  EXPECT_FALSE(outcome.ended());  // young enough, flag or not
  session_->setShouldPauseScan(false);
  tickAt(10.1);
  EXPECT_FALSE(outcome.ended());  // old, but nobody asked to pause or cancel: it waits
  tickAt(60);
  EXPECT_FALSE(outcome.ended());
  driverCancel_ = true;
  session_->setShouldPauseScan(true);
  tickAt(60.5);
  ASSERT_TRUE(outcome.ended());
  EXPECT_EQ(outcome.code, 8);
  EXPECT_FALSE(driverCancel_);
  EXPECT_FALSE(session_->shouldPauseScan());

  // The repeating timer does the same by itself.
  Outcome timed;
  request(timed);
  driverCancel_ = true;
  for (int i = 0; i < 12 && !timed.ended(); ++i) {
    clock_.advanceSeconds(1.0);
    settle();
  }
  EXPECT_EQ(timed.code, 8);
}

TEST_F(CaptureSessionTest, ConnectingUndoesAFailureAndDisconnectingStopsTheScanner) {
  Error error;
  // No device, then a device that does not open: nothing else is touched.
  device_ = nullptr;
  EXPECT_FALSE(session_->connectToScanner(&error));
  EXPECT_EQ(error.code, 7);
  device_ = std::make_shared<FakeSerialDevice>();
  device_->connectResult = false;
  EXPECT_FALSE(session_->connectToScanner(&error));
  EXPECT_EQ(error.code, 8);
  EXPECT_EQ(inhibitor_->held, 0);
  device_->connectResult = true;

  // No camera of the scanner's model: 7, with the assertion and the port given back, and the
  // next attempt tries again rather than answering yes.
  camera_->modelID = "UVC Camera VendorID_1 ProductID_2";
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(session_->connectToScanner(&error));
    EXPECT_EQ(error.code, 7);
    EXPECT_EQ(inhibitor_->held, 0);
    EXPECT_FALSE(device_->connected);
  }
  camera_->modelID = "UVC Camera VendorID_1133 ProductID_2085";

  // Automatic exposure cannot be switched off: 8, and the camera is stopped again.
  settings_.setValue("SimulateCameraControlFailure", true);
  EXPECT_FALSE(session_->connectToScanner(&error));
  EXPECT_EQ(error.code, 8);
  EXPECT_FALSE(camera_->running());
  EXPECT_FALSE(session_->isConnected());
  EXPECT_EQ(session_->assertionID(), 0u);

  // Connected: manual exposure, gain 0, the assertion held; a second connect repeats only the port.
  connect();
  EXPECT_TRUE(camera_->running());
  EXPECT_FALSE(camera_->controls->autoExposure());
  EXPECT_EQ(camera_->controls->value(V4L2_CID_GAIN), 0);
  EXPECT_EQ(session_->assertionID(), 42u);
  const int connects = device_->connects;
  connect();
  EXPECT_EQ(device_->connects, connects + 1);
  EXPECT_EQ(inhibitor_->held, 1);

  // Disconnecting: the camera goes, the assertion is released, the scanner is stopped, then its port closed.
  std::atomic<bool> done{false};
  session_->disconnectFromScanner([&] { done = true; }, {});
  ASSERT_TRUE(waitFor([&] { return done.load(); }));
  EXPECT_FALSE(camera_->running());
  EXPECT_EQ(inhibitor_->held, 0);
  EXPECT_EQ(interpreter_->commands(), std::vector<std::string>{"kill"});
  EXPECT_FALSE(device_->connected);

  // Without an interpreter the port closes and the completion runs at once.
  interpreter_ = nullptr;
  connect();
  bool direct = false;
  session_->disconnectFromScanner([&] { direct = true; }, {});
  EXPECT_TRUE(direct);
}

TEST_F(CaptureSessionTest, ACameraFailingWhileRunningEndsTheRequestAndTheConnection) {
  connect();
  Outcome outcome;
  request(outcome);
  camera_->fail();
  ASSERT_TRUE(waitFor([&] { return outcome.ended(); }));
  EXPECT_EQ(outcome.code, 8);
  ASSERT_TRUE(waitFor([&] { return !device_->connected; }));
  EXPECT_FALSE(session_->isConnected());
  EXPECT_EQ(inhibitor_->held, 0);
}

}  // namespace
}  // namespace qv::test
