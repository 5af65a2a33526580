// The command interpreter of one scanner: requests become command lines, replies complete them,
// a watchdog ends them when the scanner falls silent, and the head and bed positions are tracked.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Timer.h"
#include "scancmd/InterpreterReplies.h"
#include "scancmd/QVLIFirmwareVersion.h"
#include "scancmd/QVLIInterpreterProtocol.h"
#include "scancmd/QVLIOperationState.h"

// One interpreter per device, made by createWithDevice and owned by a shared pointer. It waits for
// at most one request at a time, in one waiting state. Requests may come from any thread; received
// lines and the watchdog are handled on the main queue. Every field is guarded by one lock, and
// callbacks are always called with it released, so a callback may start the next request.
//
// A request's waiting state is set before its line is written (and put back if the write fails),
// so a reply that overtakes the device's write completion is not lost. A request ends exactly
// once: a reply, the watchdog, a write failure or the next request, whichever comes first; the
// others then find nothing to end.
class QVLIInterpreter final : public QVLIInterpreterProtocol, public std::enable_shared_from_this<QVLIInterpreter> {
  struct Private {};

public:
  // An interpreter writing to `device` and listening to the lines that device announces. The
  // listening stays bound to this device; setDevice() changes only where lines are written.
  static std::shared_ptr<QVLIInterpreter> createWithDevice(std::shared_ptr<QVLIDeviceProtocol> device);

  QVLIInterpreter(Private, std::shared_ptr<QVLIDeviceProtocol> device);
  // Stops the watchdog and the listening, then ends a waiting request with code 5.
  ~QVLIInterpreter() override;

  // QVLIInterpreterProtocol
  void disableLasers(qv::Completion completion, qv::ErrorCallback error) override;
  void enableLaser1(qv::Completion completion, qv::ErrorCallback error) override;
  void enableLaser2(qv::Completion completion, qv::ErrorCallback error) override;
  void initializeDevice(qv::Completion completion, qv::ErrorCallback error) override;
  void home(qv::Completion completion, qv::ErrorCallback error) override;
  void kill(qv::Completion completion, qv::ErrorCallback error) override;
  void moveCameraByMillimeters(float distance_mm, qv::Completion completion, qv::ErrorCallback error) override;
  void readCalibrationValues(qv::CalibrationCompletion completion, qv::ErrorCallback error) override;
  void rotatePlatterByDegrees(float angle_deg, qv::Completion completion, qv::ErrorCallback error) override;
  void setCurrentPositionX(float angle_deg) override;
  void setCurrentPositionY(float height_mm) override;
  void updateFirmwareUsingArduinoAvrdude(bool useArduinoAvrDude, qv::FirmwareCompletion completion) override;
  void writeCalibration(const QVLICalibrationDetails& details, qv::Completion completion,
                        qv::ErrorCallback error) override;
  float currentPositionX() const override;
  float currentPositionY() const override;
  std::vector<std::string> lastCommunications() const override;
  bool shouldUpdateFirmware() const override;

  // Ends whatever request is waiting: its error callback (if any) receives code 5; the state
  // becomes idle.
  void abortAnyActiveRequest();

  // The rest of the interpreter's state, for diagnostics and tests.
  std::shared_ptr<QVLIDeviceProtocol> device() const;
  void setDevice(std::shared_ptr<QVLIDeviceProtocol> device);
  QVLIOperationState operationState() const;
  QVLIFirmwareVersion firmwareVersion() const;
  float previousPositionX() const;
  float previousPositionY() const;
  float deltaPositionX() const;
  float deltaPositionY() const;
  int retryCounter() const;
  // Calibration lines still to write, the next one last.
  std::vector<std::string> calibrationCommandQueue() const;
  // Values collected so far by a calibration read.
  std::map<std::string, std::string> readCalibrationResults() const;
  bool isWatchdogArmed() const;

private:
  // The callbacks of the waiting request.
  struct Callbacks {
    qv::Completion completion;
    qv::ErrorCallback error;
    qv::CalibrationCompletion calibration;
    bool any() const { return completion || error || calibration; }
  };
  // What an armed watchdog holds: the interpreter (an armed watchdog keeps it alive), dropped when
  // the watchdog is cancelled so that a cancelled timer keeps nothing alive.
  struct WatchdogArm {
    std::mutex mutex;
    std::shared_ptr<QVLIInterpreter> owner;
  };

  // Ends the waiting request and installs a new one in `state`, all under the lock; answers the
  // ended request's error callback, to be called with code 5 once the lock is released.
  qv::ErrorCallback replaceRequestLocked(QVLIOperationState state, Callbacks callbacks);
  // Ends the waiting request under the lock; answers its error callback (for code 5).
  qv::ErrorCallback abortLocked();
  // Writes a request's line, after the `unanswered` lines that go without callbacks. Its completion
  // pushes the watchdog back; its failure ends the request with the device's error, if the request
  // `serial` is still waiting.
  void writeRequestLine(const std::shared_ptr<QVLIDeviceProtocol>& device, const std::string& line,
                        std::uint64_t serial, bool withCompletion = true,
                        std::initializer_list<const char*> unanswered = {});
  void requestLineWritten(std::uint64_t serial);
  void requestLineFailed(std::uint64_t serial, const qv::Error& error);

  // A request being made: it keeps the interpreter alive while callbacks run (one may drop the last
  // owner), holds the lock, and names the device the request writes to.
  struct RequestScope {
    std::shared_ptr<QVLIInterpreter> keepAlive;
    std::unique_lock<std::mutex> lock;
    std::shared_ptr<QVLIDeviceProtocol> device;
  };
  // Takes the lock and the device for a request. With no device the lock is released, `error` gets
  // code 1 and the scope's device is empty.
  RequestScope openRequest(const qv::ErrorCallback& error);
  // Ends a request before any line goes out: the lock is released, the `ended` request gets code 5,
  // then `error` gets the refusal, or with none `completion` runs (there was nothing to do).
  void endUnsent(RequestScope& request, qv::ErrorCallback ended, QVLIErrorCode refusal,
                 const qv::Completion& completion, const qv::ErrorCallback& error);
  // Sends a request installed under the scope's lock: the lock is released, the `ended` request it
  // replaced gets code 5, then the request's line is written.
  void send(RequestScope& request, qv::ErrorCallback ended, const std::string& line,
            std::initializer_list<const char*> unanswered = {});
  // A request made of one line that waits in `state` for its completion line.
  void simpleRequest(const char* line, QVLIOperationState state, qv::Completion completion, qv::ErrorCallback error,
                     std::initializer_list<const char*> unanswered = {});
  // `fromCaller`: a caller's home arms one retry; a home re-sent by the watchdog keeps the count.
  void sendHome(qv::Completion completion, qv::ErrorCallback error, bool fromCaller);

  void armWatchdogLocked();
  void cancelWatchdogLocked();
  void watchdogFired(const WatchdogArm* arm);

  void deviceDataReceived(const qv::Notification& notification);

  // One field of the state, read under the lock.
  template <typename Field>
  Field lockedState(Field qv::protocol::InterpreterState::*field) const;

  mutable std::mutex mutex_;
  // The waiting state, positions and calibration bookkeeping that replies and the watchdog change.
  qv::protocol::InterpreterState state_;
  Callbacks callbacks_;
  std::shared_ptr<QVLIDeviceProtocol> device_;
  std::deque<std::string> lastCommunications_;
  std::shared_ptr<qv::Timer> watchdogTimer_;
  std::shared_ptr<WatchdogArm> watchdogArm_;
  // Numbers each request, so that a late write completion or failure of an ended request is
  // recognised as such.
  std::uint64_t requestSerial_ = 0;

  qv::ObserverRegistration observer_;
};
