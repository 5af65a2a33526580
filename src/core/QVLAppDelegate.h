// The application delegate: the spine of the program. It owns the port controller, the known
// scanner with its interpreter and calibration, the file queue and the "Camera queue", and reaches
// the screens and the 3D viewer only through abstract interfaces, so it has no Qt in it.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/QVLScan.h"
#include "acquisition/QVLScanDelegate.h"
#include "calibration/QVLCalibration.h"
#include "calibration/QVLCalibrationDelegate.h"
#include "core/QVLAppState.h"
#include "core/QVLCameraConnection.h"
#include "core/QVLCleanUpHook.h"
#include "core/QVLConnectionState.h"
#include "core/QVLGeneralPreferencesDelegate.h"
#include "core/QVLMainViewControllerInterface.h"
#include "core/QVLObjectSceneViewControllerInterface.h"
#include "core/QVLScreenHost.h"
#include "core/QVLUpdater.h"
#include "platform/Error.h"
#include "platform/Observable.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "records/QVSCalibrationDetails.h"
#include "scancmd/QVLIInterpreterProtocol.h"
#include "scanlink/QVLCControl.h"

// Codes of the application's domain (qv::kScanErrorDomain) the core reports.
enum QVLAppErrorCode : int {
  QVLAppErrorNoScanner = 5,               // a request that needs the scanner's interpreter found none
  QVLAppErrorManualNoScanner = 7,         // a manual-scan move or home found no scanner
  QVLAppErrorExposureNotSet = 8,          // the camera exposure could not be set or read back
  QVLAppErrorPaused = 12,                 // a manual-scan frame found the application paused
  QVLAppErrorBusyConnecting = 16,         // a connection was asked for while another runs
  QVLAppErrorFirmwareUpdateNeeded = 17,   // the firmware must be (or could not be) replaced
  QVLAppErrorCalibrationNotFinite = 18,   // a calibration holding NaN or infinity was refused
  QVLAppErrorNoFirstPass = 19,            // a second calibration pass found no completed first pass
  QVLAppErrorFileNotWritten = 120,        // a file could not be written
};

// How the delegate is put together; tests choose their own port manager and settings.
struct QVLAppEnvironment {
  // The serial-port manager the port controller watches; empty: the process's shared one.
  std::shared_ptr<ORSSerialPortManager> portManager;
  // The settings store; nullptr: the user's standard store.
  qv::Settings* settings = nullptr;
  // The versions the banner, the updater and the crash reports name.
  std::string shortVersion = "0";
  std::string buildVersion = "0";
  // Fetches the update feed; empty: libcurl.
  QVLUpdater::Fetcher updateFetcher;
};

// What the launch sets up; the defaults are those of the program.
struct QVLLaunchOptions {
  bool setUpLogging = true;
  std::filesystem::path logFolder;      // empty: qv::paths::logFolder()
  bool consoleLog = true;
  bool systemLog = true;
  std::filesystem::path crashFolder;    // empty: QVLCrashReporter::defaultFolder()
};

class QVLCameraCaptureSession;
class QVLImageSequences;
namespace qv {
class CameraBackend;
class DisplaySleepInhibitor;
}

class QVLAppDelegate : public QVLCControlDelegate,
                       public QVLScanDelegate,
                       public QVLCalibrationDelegate,
                       public QVLGeneralPreferencesDelegate,
                       public QVLUpdaterDelegate,
                       public std::enable_shared_from_this<QVLAppDelegate> {
  struct Private {};

public:
  // The scan driver's and the calibration controller's motion reports are the same.
  using MotionCompletion = QVLScanDelegate::MotionCompletion;
  using ConnectionCompletion = std::function<void(bool success, const std::optional<qv::Error>& error)>;
  using LogExportCompletion = std::function<void(const std::optional<qv::Error>& error)>;

  // The initialiser: activity state idle, the file queue, the "Camera queue", and the port
  // controller with this object as its delegate, so arrivals and removals reach it from now on.
  // Call on the main thread.
  static std::shared_ptr<QVLAppDelegate> create(QVLAppEnvironment environment = {});
  QVLAppDelegate(Private, QVLAppEnvironment environment);
  ~QVLAppDelegate() override;
  QVLAppDelegate(const QVLAppDelegate&) = delete;
  QVLAppDelegate& operator=(const QVLAppDelegate&) = delete;

  // ---- the pieces it is wired to (main thread, before the launch) ----
  void setScreenHost(std::shared_ptr<QVLScreenHost> host);
  std::shared_ptr<QVLScreenHost> screenHost() const;
  void setCleanUpHook(std::shared_ptr<QVLCleanUpHook> hook);
  void setMainViewController(std::shared_ptr<QVLMainViewControllerInterface> controller);
  void setSceneViewController(std::shared_ptr<QVLObjectSceneViewControllerInterface> controller);
  std::shared_ptr<QVLObjectSceneViewControllerInterface> sceneViewController() const;
  // The scanner's camera for connections of scans, calibrations and the manual scan screen.
  void setCameraConnection(std::shared_ptr<QVLCameraConnection> camera);

  // ---- state and settings ----
  qv::Settings& settings() const { return settings_; }
  const QVLAppEnvironment& environment() const { return environment_; }
  int currentAppState() const { return currentAppState_.load(); }
  void setCurrentAppState(int state) { currentAppState_.store(state); }
  // The file queue: scan file imports, one at a time.
  const qv::QueuePtr& fileOperationQueue() const { return fileOperationQueue_; }
  // The "Camera queue": the camera request state of the capture session is serialised on it.
  const qv::QueuePtr& lockQueue() const { return lockQueue_; }
  QVLCControl& serialPortController() const { return *serialPortController_; }
  // The application's pause flag, read by the camera work.
  // The capture session's own flag while one exists (its watchdog clears it), so both agree.
  bool shouldPauseScan() const;
  void setShouldPauseScan(bool pause);
  // Head and bed positions kept across a pause.
  float lastKnownPositionX() const { return lastKnownPositionX_.load(); }
  void setLastKnownPositionX(float angle_deg) { lastKnownPositionX_.store(angle_deg); }
  float lastKnownPositionY() const { return lastKnownPositionY_.load(); }
  void setLastKnownPositionY(float height_mm) { lastKnownPositionY_.store(height_mm); }
  // A file handed over before the first screen was up; opened at the end of the launch.
  std::string modelToDisplayOnStartup() const;
  void setModelToDisplayOnStartup(std::string path);
  bool shouldCheckForUpdate() const { return shouldCheckForUpdate_.load(); }

  // ---- window hooks ----
  // The main screen lays itself out again and the 3D viewer marks its projection stale.
  void windowDidResize();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  // ---- the scanner connection ----
  int currentConnectionState() const { return currentConnectionState_.load(); }
  void setCurrentConnectionState(int state);
  // YES from the moment an attempt is scheduled until the connection work ends (observable).
  bool isConnecting() const { return isConnecting_.get(); }
  void setIsConnecting(bool connecting) { isConnecting_.set(connecting); }
  qv::Observable<bool>& isConnectingObservable() { return isConnecting_; }
  // The known scanner and its interpreter: set together by a successful connection, cleared
  // together. The interpreter is observable.
  std::shared_ptr<QVLCDevice> device() const;
  std::shared_ptr<QVLIInterpreterProtocol> deviceInterpreter() const { return deviceInterpreter_.get(); }
  qv::Observable<std::shared_ptr<QVLIInterpreterProtocol>>& deviceInterpreterObservable() { return deviceInterpreter_; }
  void setDevice(std::shared_ptr<QVLCDevice> device, std::shared_ptr<QVLIInterpreterProtocol> interpreter);
  // The calibration read from the scanner at connection, or saved to it since; nullptr when none.
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetails() const;
  void setCalibrationDetails(std::shared_ptr<const QVSCalibrationDetails> details);

  // Connects to the scanner: opens the port on a global queue, greets the firmware, then either
  // resets the scanner for a firmware update (code 17) or reads its calibration and closes the port
  // again. The completion is called once, later, or at once with code 16 while an attempt runs.
  void connectToDevice(std::shared_ptr<QVLCDevice> device, ConnectionCompletion completion);
  // The completion the launch and the arrivals hand to connectToDevice.
  void connectionCompleted(bool success, const std::optional<qv::Error>& error,
                           const std::shared_ptr<QVLCDevice>& device);
  // QVLCControlDelegate (main queue).
  void deviceAdded(const std::shared_ptr<QVLCDevice>& device) override;
  void deviceRemoved(const std::shared_ptr<QVLCDevice>& device) override;
  // QVLGeneralPreferencesDelegate: resets the scanner (the known one, or the one present); also
  // the user's way to try a firmware update again after one failed.
  void resetScannerForPreferences() override;
  // The error of the last firmware install when it failed; cleared by a success or a reset asked
  // for by the user.
  std::optional<qv::Error> firmwareInstallFailure() const;

  // Opens the known scanner's port for a job and brings the camera up; false (and `error`, code 7
  // when no scanner is known, 8 when the port does not open) on failure.
  bool connectToScanner(qv::Error* error);
  // Takes the camera down, stops the scanner and closes its port; exactly one callback is called
  // (the error one with the interpreter's error when the stop failed).
  void disconnectFromScanner(qv::Completion completion, qv::ErrorCallback error);

  // ---- calibration save and test ----
  // Writes a new calibration into the known scanner (keeping the scanner's own identifier) and
  // keeps a small JSON copy under "CalibrationResultsForLastScanner". A calibration holding NaN or
  // infinity is refused (code 18) and no scanner (code 5) too, at once and on the caller's thread.
  // The interpreter's errors (a scanner that did not acknowledge every line, say) keep their
  // domain, code and description and gain kCalibrationNotSavedReason as their "Reason", which the
  // calibration screen shows: the user learns then, not at the next scan, that the calibration was
  // not saved. The settings copy and the delegate's calibration stay as they were on any failure.
  static constexpr const char* kCalibrationNotSavedReason =
      "The new calibration could not be saved in the scanner. Please check that the scanner is connected and "
      "calibrate it again.";
  void saveCalibration(std::shared_ptr<const QVSCalibrationDetails> calibration, qv::Completion completion,
                       qv::ErrorCallback error);
  // True when the calibration is usable: finite normals, intrinsics and distortion, positive
  // intrinsics, unit-length normals within [0.9, 1.1], and the bed origin's z at most 0.
  bool isCalibrated() const;
  static bool isCalibrationUsable(const QVSCalibrationDetails* details);
  // Told the new value of isCalibrated after every change of the calibration.
  qv::Observable<bool>& isCalibratedObservable() { return isCalibrated_; }
  // The settings copy of a calibration: the JSON object of "CalibrationResultsForLastScanner".
  static std::string calibrationResultsJSON(const QVSCalibrationDetails& calibration);

  // ---- updates, crash-report log and log export ----
  // The start-up check, consumed by the first showing of the main screen: runs once, and only
  // when "CheckForUpdatesOnStartup" is on.
  void runStartupUpdateCheckIfDue();
  // A check the user asked for; the outcome reaches the screen host.
  void checkForUpdates();
  QVLUpdater& updater() const { return *updater_; }
  // QVLUpdaterDelegate
  std::vector<std::pair<std::string, std::string>> feedParametersForUpdater(bool sendingSystemProfile) override;
  std::optional<std::size_t> bestValidUpdateInAppcast(const std::vector<QVLAppcastItem>& items) override;
  // The log text attached to a crash report: rolls the log file, then hands the text (oldest
  // file first, its tail when long) to the callback on a worker thread.
  void applicationLogForCrashManager(std::function<void(std::string)> completion);
  // The same, waiting at most `limit` of real time; nothing when the roll did not end in time.
  std::optional<std::string> applicationLogForCrashManager(qv::Duration limit);
  // Rolls the log file and zips every log file into `destination` ("QuorvelLogs.zip"). The zip is
  // written under a temporary name beside it and replaces the destination only when complete;
  // the completion gets nothing, or code 120 naming the file, on a worker thread.
  void exportLogFiles(const std::filesystem::path& destination, LogExportCompletion completion);

  // ---- hardware relays (QVLAppDelegateRelays*.cpp) ----
  // Makes the capture session and image sequences over this camera platform and keeps them as
  // the camera of scans, calibrations and the manual scan screen.
  void makeCaptureSession(std::shared_ptr<qv::CameraBackend> backend,
                          std::shared_ptr<qv::DisplaySleepInhibitor> inhibitor = nullptr);
  std::shared_ptr<QVLCameraCaptureSession> captureSession() const;
  std::shared_ptr<QVLImageSequences> imageSequences() const;
  std::shared_ptr<QVLScan> scanController() const;

  // QVLScanDelegate: the scan driver's requests.
  bool connectToScannerForScan(QVLScan& scan, qv::Error* error) override;
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetailsForScan(QVLScan& scan) override;
  void disconnectFromScannerForScan(QVLScan& scan, qv::Completion completion, qv::ErrorCallback error) override;
  void homeScannerForScan(QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override;
  void homeScannerForScan(QVLScan& scan, float moveHeadByMillimeters, MotionCompletion completion,
                          qv::ErrorCallback error) override;
  void moveHeadByMillimeters(float millimeters, QVLScan& scan, MotionCompletion completion,
                             qv::ErrorCallback error) override;
  void rotateBedByDegrees(float degrees, QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override;
  void captureCameraImageForScan(QVLScan& scan, int exposure, int whiteBalance, FrameCompletion completion,
                                 qv::ErrorCallback error) override;
  void captureCameraImageSequenceForScan(QVLScan& scan, int nonLaserExposure, int nonLaserWhitebalance,
                                         const std::vector<int>& laser1Exposures,
                                         const std::vector<int>& laser2Exposures, SequenceCompletion completion,
                                         qv::ErrorCallback error) override;
  // QVLTuningDelegate: exposure tuning's requests, answered by the image sequences.
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override;
  void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override;
  bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning& tuning) override;

  // The scan screen's requests. Every callback given is called at most once; the error one
  // also ends a pause (code 12) and a cancel (code 11).
  void buildScanForScanViewController(const qv::ObjectID& scanID, float rotationDegreeInterval,
                                      float heightMMInterval, qv::Completion onComplete,
                                      QVLScan::UpdateCallback onUpdate, qv::ErrorCallback onError);
  void pauseScanForScanViewController();
  // Without a scan driver nothing runs: the error callback gets code 5.
  void resumeCurrentScanForScanViewController(qv::Completion onComplete, QVLScan::UpdateCallback onUpdate,
                                              qv::ErrorCallback onError);
  void cancelScanForScanViewController();
  void tidyScanForScanViewController();
  // The pause report's lines (logged by a pause).
  std::vector<std::string> pauseReportLines() const;

  // The manual scan screen's requests: each completion is called exactly once, with the error
  // when there is one (code 7 when no scanner is known).
  using ManualCompletion = std::function<void(const std::optional<qv::Error>& error)>;
  using ManualSequenceCompletion =
      std::function<void(qv::SharedData colour, QVLScanResultSet laser1, QVLScanResultSet laser2)>;
  using ManualLowHighCompletion =
      std::function<void(qv::SharedData colour, QVLScanResultSet laser1Low, QVLScanResultSet laser1High,
                         QVLScanResultSet laser2Low, QVLScanResultSet laser2High)>;
  void cancelScanForAdvancedScanViewController();
  void captureCameraImageForAdvScanViewController(int nonLaserExposure, int nonLaserWhitebalance,
                                                  FrameCompletion completion, qv::ErrorCallback error);
  void captureCameraImageSequenceForAdvScanViewController(int nonLaserExposure, int nonLaserWhitebalance,
                                                          int laser1Exposure, int laser2Exposure,
                                                          ManualSequenceCompletion completion, qv::ErrorCallback error);
  void captureCameraImageSequenceForAdvScanViewController(int nonLaserExposure, int nonLaserWhitebalance,
                                                          int laser1Low, int laser1High, int laser2Low,
                                                          int laser2High, ManualLowHighCompletion completion,
                                                          qv::ErrorCallback error);
  void moveHeadHomeForAdvScanViewController(ManualCompletion completion);
  void moveHeadByMillimetersForAdvScanViewController(float millimeters, ManualCompletion completion);
  void rotateBedByDegreesForAdvScanViewController(float degrees, ManualCompletion completion);

  // ---- calibration relays (QVLAppDelegateCalibrationRelays.cpp) ----
  // The calibration controller of the running calibration: made by the first pass, kept for the
  // second, dropped when the second pass ends or either pass fails.
  std::shared_ptr<QVLCalibration> calibrationControl() const;
  // The calibration pass started last (1 or 2; 0 before any) and the device it was told of.
  int calibrationPass() const { return calibrationPass_.load(); }
  int calibrationDevice() const { return calibrationDevice_.load(); }

  // QVLCalibrationDelegate: the calibration controller's requests. Motions need the known
  // scanner's interpreter (code 5 at once without one) and report the position afterwards.
  bool connectToScannerForCalibration(QVLCalibration& calibration, qv::Error* error) override;
  void disconnectFromScannerForCalibration(QVLCalibration& calibration, qv::Completion completion,
                                           qv::ErrorCallback error) override;
  // Reads the camera's exposure, sets the new one, waits for the longer of the two to settle and
  // takes one frame, afterwards the only element of calibrationImages (code 8 when the exposure
  // cannot be read or set).
  void captureSingleImageForCalibration(QVLCalibration& calibration, int exposure, qv::Completion completion,
                                        qv::ErrorCallback error) override;
  void captureCameraImageSequenceForCalibration(QVLCalibration& calibration, int cameraExposure, int laser1Exposure,
                                                int laser2Exposure, qv::Completion completion,
                                                qv::ErrorCallback error) override;
  // Homes the head; homing zeroes the tracked bed angle, which is then set to the angle given
  // (the bed itself is not turned).
  void homeScannerForCalibration(QVLCalibration& calibration, float restoringAngle_deg, MotionCompletion completion,
                                 qv::ErrorCallback error) override;
  void moveHeadByMillimeters(float millimeters, QVLCalibration& calibration, MotionCompletion completion,
                             qv::ErrorCallback error) override;
  void rotateBedByDegrees(float degrees, QVLCalibration& calibration, MotionCompletion completion,
                          qv::ErrorCallback error) override;
  void saveCalibration(std::shared_ptr<QVSCalibrationDetails> details, QVLCalibration& calibration,
                       qv::Completion completion, qv::ErrorCallback error) override;
  std::vector<qv::SharedData> calibrationImages() const override;
  qv::SharedData laser1CalibrationReferenceImage() const override;
  qv::SharedData laser1CalibrationImage() const override;
  qv::SharedData laser1CalibrationVerificationImage() const override;
  qv::SharedData laser2CalibrationReferenceImage() const override;
  qv::SharedData laser2CalibrationImage() const override;
  qv::SharedData laser2CalibrationVerificationImage() const override;

  // The calibration screen's requests. Each pass ends in exactly one call of its completion or
  // its error callback; a pass ended by a cancel reports code 1. The second pass continues the
  // controller of a completed first pass; without one it fails at once with code 19.
  void startFirstPassCalibrationForViewController(int calibrationDevice, qv::Completion onCompletion,
                                                  QVLCalibration::UpdateCallback onUpdate, qv::ErrorCallback onError);
  void startSecondPassCalibrationForViewController(int calibrationDevice, qv::Completion onCompletion,
                                                   QVLCalibration::UpdateCallback onUpdate, qv::ErrorCallback onError);
  // By the activity state: idle shows the main screen, a calibration or a scan is asked to stop.
  void cancelScannerCalibrationForViewController();
  void showHudScreenForCalibrationViewController() { showHudScreen(); }

  // Quitting: a running scan or calibration is cancelled and the scanner told to stop its motors
  // and lasers before the port closes. The completion is called once, on the main queue: when the
  // scanner has answered the stop, or after kQuitStopLimit at the latest; at once, with nothing
  // sent, when no port is open.
  void stopScannerForQuit(qv::Completion completion);
  static constexpr double kQuitStopLimit_s = 2.0;

  // ---- launch ----
  // The launch sequence, on the main thread: logging, the registered defaults, the main screen
  // (and with it the update check), the automatic connection when exactly one scanner is present,
  // the clean-up hook, crash reporting when enabled, the start-up banner, and last the file handed
  // over at launch.
  void applicationDidFinishLaunching(const QVLLaunchOptions& options = {});
  // The launch's logging on its own (a file rolled daily keeping 7, the console, the system log),
  // for a program that opens the object store before the launch runs: the store's messages then
  // reach the log file too. Such a program launches with `setUpLogging` off.
  static void setUpLogging(const QVLLaunchOptions& options);
  // The crash reports this launch made from earlier runs' crashes (offered to the screen host).
  std::vector<std::filesystem::path> crashReportsOffered() const;

private:
  void runConnection(const std::shared_ptr<QVLCDevice>& device, const ConnectionCompletion& completion);
  void firmwareChecked(const std::shared_ptr<QVLCDevice>& device, const std::shared_ptr<QVLIInterpreterProtocol>& interpreter,
                       const ConnectionCompletion& completion);
  void arrivalFollowUp(const std::shared_ptr<QVLCDevice>& device);
  void installFirmware(const std::shared_ptr<QVLCDevice>& device);
  ConnectionCompletion standardCompletion(const std::shared_ptr<QVLCDevice>& device);
  bool isPresent(const QVLCDevice& device) const;
  // Tells the log why nothing is connected when several scanners are present.
  static void logSeveralScanners(const std::vector<std::shared_ptr<QVLCDevice>>& present);
  void showHudScreen();
  // A frame of the last calibration laser capture: laser 0 or 1; reference, laser on, verification.
  qv::SharedData laserCalibrationImage(int laser, int which) const;
  void setUpCrashReporting(const std::filesystem::path& folder);

  QVLAppEnvironment environment_;
  qv::Settings& settings_;

  std::atomic<int> currentAppState_{QVLAppStateIdle};
  qv::QueuePtr fileOperationQueue_;
  qv::QueuePtr lockQueue_;
  std::unique_ptr<QVLCControl> serialPortController_;
  std::shared_ptr<QVLUpdater> updater_;
  std::atomic<bool> shouldPauseScan_{false};
  std::atomic<float> lastKnownPositionX_{0.0f};
  std::atomic<float> lastKnownPositionY_{0.0f};
  std::atomic<bool> shouldCheckForUpdate_{false};

  // The connection machine. The state is changed with compare-and-swap where an attempt is
  // admitted, so two attempts can never both pass the guard.
  std::atomic<int> currentConnectionState_{QVLConnectionStateNone};
  qv::Observable<bool> isConnecting_{false};
  qv::Observable<std::shared_ptr<QVLIInterpreterProtocol>> deviceInterpreter_;
  qv::Observable<bool> isCalibrated_{false};

  mutable std::mutex mutex_;  // guards the fields below
  std::shared_ptr<QVLCDevice> device_;
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetails_;
  std::optional<qv::Error> firmwareInstallFailure_;
  // The port of a boot loader that arrived after a reset, while it is present: never a scanner.
  std::optional<std::string> bootLoaderPort_;
  // A scanner that arrived while its firmware was being written.
  std::shared_ptr<QVLCDevice> arrivedDuringInstall_;
  std::string modelToDisplayOnStartup_;
  std::shared_ptr<QVLScreenHost> screenHost_;
  std::shared_ptr<QVLCleanUpHook> cleanUpHook_;
  std::shared_ptr<QVLMainViewControllerInterface> mainViewController_;
  std::shared_ptr<QVLObjectSceneViewControllerInterface> sceneViewController_;
  std::shared_ptr<QVLCameraConnection> camera_;
  std::vector<std::filesystem::path> crashReportsOffered_;
  std::shared_ptr<QVLCameraCaptureSession> captureSession_;
  std::shared_ptr<QVLImageSequences> imageSequences_;
  std::shared_ptr<QVLScan> scanController_;
  std::shared_ptr<QVLCalibration> calibrationControl_;
  std::vector<qv::SharedData> calibrationImages_;
  qv::SharedData laserCalibrationImages_[2][3];  // per laser: reference, laser on, verification
  // Set by a cancel of the running calibration pass, cleared when a pass starts.
  std::atomic<bool> calibrationCancelRequested_{false};
  std::atomic<int> calibrationPass_{0};
  std::atomic<int> calibrationDevice_{0};
  // Where the delegate will keep the capture session, the USB camera control, the scan driver and
  // the calibration controller of a running job (the camera and relay work builds on this).
};
