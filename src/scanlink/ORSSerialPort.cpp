// The serial port: open with an exclusive lock, raw termios, a reading thread per open port, writes,
// modem lines, and the registry that keeps one live object per path.
#include "scanlink/ORSSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Queue.h"
#include "scanlink/SerialPortSource.h"
#include "scanlink/internal/ConsoleLog.h"

namespace {

// The longest a write waits for a device that takes no bytes before it counts as failed.
constexpr int kWriteTimeoutMs = 2000;
// How long the reading thread waits for data before it looks again whether it should end.
constexpr int kReadWaitMs = 100;
constexpr auto kModemLinePollInterval = std::chrono::milliseconds(10);

struct RegistryEntry {
  const ORSSerialPort* port;
  std::weak_ptr<ORSSerialPort> weak;
};

struct PortRegistry {
  std::mutex mutex;
  std::vector<RegistryEntry> entries;
};

PortRegistry& portRegistry() {
  static auto* registry = new PortRegistry;  // never destroyed: ports may end during exit
  return *registry;
}

std::optional<speed_t> speedConstant(int baudRate) {
  static const std::pair<int, speed_t> kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& [rate, constant] : kSpeeds) {
    if (rate == baudRate) return constant;
  }
  return std::nullopt;
}

bool lacksModemLines(int error) { return error == ENOTTY || error == EINVAL; }

}  // namespace

struct ORSSerialPort::Reader {
  int wakeFd = -1;
  std::thread thread;
};

// ---- registry ----

std::optional<qv::SerialPortInfo> ORSSerialPort::deviceFromBSDPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  return qv::SerialPortSource::lookUp(path);
}

std::shared_ptr<ORSSerialPort> ORSSerialPort::serialPortWithPath(const std::string& path) {
  auto device = deviceFromBSDPath(path);
  if (!device) return nullptr;
  return serialPortWithDevice(*device);
}

std::shared_ptr<ORSSerialPort> ORSSerialPort::serialPortWithDevice(const qv::SerialPortInfo& device) {
  if (device.calloutPath.empty()) return nullptr;
  PortRegistry& registry = portRegistry();
  std::lock_guard lock(registry.mutex);
  for (const auto& entry : registry.entries) {
    if (auto port = entry.weak.lock(); port && port->path() == device.calloutPath) return port;
  }
  auto port = std::make_shared<ORSSerialPort>(Private{}, device);
  registry.entries.push_back({port.get(), port});
  return port;
}

std::shared_ptr<ORSSerialPort> ORSSerialPort::existingPortWithPath(const std::string& path) {
  PortRegistry& registry = portRegistry();
  std::lock_guard lock(registry.mutex);
  for (const auto& entry : registry.entries) {
    if (auto port = entry.weak.lock(); port && port->path() == path) return port;
  }
  return nullptr;
}

ORSSerialPort::ORSSerialPort(Private, qv::SerialPortInfo device) : device_(std::move(device)) {}

ORSSerialPort::~ORSSerialPort() {
  {
    PortRegistry& registry = portRegistry();
    std::lock_guard lock(registry.mutex);
    std::erase_if(registry.entries, [this](const RegistryEntry& e) { return e.port == this; });
  }
  closePort(false);
}

// ---- delegate ----

void ORSSerialPort::setDelegate(const std::shared_ptr<ORSSerialPortDelegate>& delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = delegate;
}

std::shared_ptr<ORSSerialPortDelegate> ORSSerialPort::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

void ORSSerialPort::resignDelegate(const ORSSerialPortDelegate* delegate) {
  std::lock_guard lock(delegateMutex_);
  auto current = delegate_.lock();
  if (!current || current.get() == delegate) delegate_.reset();
}

void ORSSerialPort::notifyDelegateOfPosixError(int error) {
  auto d = delegate();
  if (!d) return;
  qv::Error e(qv::kPosixErrorDomain, error, std::strerror(error),
              {{qv::Error::kFilePathKey, qv::Value(path())}});
  d->serialPortDidEncounterError(*this, e);
}

void ORSSerialPort::postPosixError(int error) {
  qv::mainQueue()->async([weak = weak_from_this(), error] {
    if (auto port = weak.lock()) port->notifyDelegateOfPosixError(error);
  });
}

// ---- settings ----

bool ORSSerialPort::isOpen() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

int ORSSerialPort::fileDescriptor() const {
  std::lock_guard lock(mutex_);
  return fd_;
}

int ORSSerialPort::baudRate() const {
  std::lock_guard lock(mutex_);
  return baudRate_;
}

void ORSSerialPort::setBaudRate(int baudRate) {
  std::lock_guard lock(mutex_);
  if (baudRate_ == baudRate) return;
  baudRate_ = baudRate;
  setPortOptionsLocked();
}

std::uint64_t ORSSerialPort::numberOfStopBits() const {
  std::lock_guard lock(mutex_);
  return numberOfStopBits_;
}

void ORSSerialPort::setNumberOfStopBits(std::uint64_t count) {
  std::lock_guard lock(mutex_);
  if (numberOfStopBits_ == count) return;
  numberOfStopBits_ = count;
  setPortOptionsLocked();
}

bool ORSSerialPort::shouldEchoReceivedData() const {
  std::lock_guard lock(mutex_);
  return shouldEchoReceivedData_;
}

void ORSSerialPort::setShouldEchoReceivedData(bool echo) {
  std::lock_guard lock(mutex_);
  if (shouldEchoReceivedData_ == echo) return;
  shouldEchoReceivedData_ = echo;
  setPortOptionsLocked();
}

ORSSerialParity ORSSerialPort::parity() const {
  std::lock_guard lock(mutex_);
  return parity_;
}

void ORSSerialPort::setParity(ORSSerialParity parity) {
  if (static_cast<std::uint64_t>(parity) > static_cast<std::uint64_t>(ORSSerialParity::Even)) {
    parity = ORSSerialParity::None;
  }
  std::lock_guard lock(mutex_);
  if (parity_ == parity) return;
  parity_ = parity;
  setPortOptionsLocked();
}

bool ORSSerialPort::usesRTSCTSFlowControl() const {
  std::lock_guard lock(mutex_);
  return usesRTSCTSFlowControl_;
}

bool ORSSerialPort::usesDTRDSRFlowControl() const {
  std::lock_guard lock(mutex_);
  return usesDTRDSRFlowControl_;
}

bool ORSSerialPort::usesDCDOutputFlowControl() const {
  std::lock_guard lock(mutex_);
  return usesDCDOutputFlowControl_;
}

namespace {
// A flow-control change takes a close and a new open, as the line discipline is set up at open.
template <typename Port>
void changeFlowControl(Port& port, std::mutex& mutex, bool& flag, bool value,
                       void (Port::*apply)()) {
  {
    std::lock_guard lock(mutex);
    if (flag == value) return;
  }
  const bool wasOpen = port.isOpen();
  if (wasOpen) port.close();
  {
    std::lock_guard lock(mutex);
    flag = value;
    (port.*apply)();
  }
  if (wasOpen) port.open();
}
}  // namespace

void ORSSerialPort::setUsesRTSCTSFlowControl(bool uses) {
  changeFlowControl(*this, mutex_, usesRTSCTSFlowControl_, uses, &ORSSerialPort::setPortOptionsLocked);
}

void ORSSerialPort::setUsesDTRDSRFlowControl(bool uses) {
  changeFlowControl(*this, mutex_, usesDTRDSRFlowControl_, uses, &ORSSerialPort::setPortOptionsLocked);
}

void ORSSerialPort::setUsesDCDOutputFlowControl(bool uses) {
  changeFlowControl(*this, mutex_, usesDCDOutputFlowControl_, uses, &ORSSerialPort::setPortOptionsLocked);
}

bool ORSSerialPort::RTS() const {
  std::lock_guard lock(mutex_);
  return rts_;
}

bool ORSSerialPort::DTR() const {
  std::lock_guard lock(mutex_);
  return dtr_;
}

int ORSSerialPort::setModemLineLocked(int line, bool on) {
  if (fd_ < 0) return 0;
  int bits = 0;
  if (::ioctl(fd_, TIOCMGET, &bits) != 0) return errno;
  bits = on ? (bits | line) : (bits & ~line);
  if (::ioctl(fd_, TIOCMSET, &bits) != 0) return errno;
  return 0;
}

void ORSSerialPort::setRTS(bool on) {
  int error = 0;
  {
    std::lock_guard lock(mutex_);
    if (rts_ == on) return;
    rts_ = on;
    error = setModemLineLocked(TIOCM_RTS, on);
  }
  if (error) postPosixError(error);
}

void ORSSerialPort::setDTR(bool on) {
  int error = 0;
  {
    std::lock_guard lock(mutex_);
    if (dtr_ == on) return;
    dtr_ = on;
    error = setModemLineLocked(TIOCM_DTR, on);
  }
  if (error) postPosixError(error);
}

qv::Data ORSSerialPort::writeBuffer() const {
  std::lock_guard lock(mutex_);
  return writeBuffer_;
}

void ORSSerialPort::setPortOptionsLocked() {
  if (fd_ < 0) return;
  termios options{};
  if (::tcgetattr(fd_, &options) != 0) {
    qv::consoleLog("Unable to set options on %s: %i", name().c_str(), -1);
    return;
  }
  ::cfmakeraw(&options);
  options.c_cc[VMIN] = 1;   // a read takes at least one byte
  options.c_cc[VTIME] = 2;  // and waits at most 0.2 s between bytes
  options.c_cflag = (options.c_cflag & ~CSIZE) | CS8;
  switch (parity_) {
    case ORSSerialParity::Even: options.c_cflag = (options.c_cflag | PARENB) & ~PARODD; break;
    case ORSSerialParity::Odd: options.c_cflag |= PARENB | PARODD; break;
    default: options.c_cflag &= ~PARENB; break;
  }
  if (numberOfStopBits_ > 1) {
    options.c_cflag |= CSTOPB;
  } else {
    options.c_cflag &= ~CSTOPB;
  }
  if (shouldEchoReceivedData_) {
    options.c_lflag |= ECHO;
  } else {
    options.c_lflag &= ~ECHO;
  }
  if (usesRTSCTSFlowControl_) {
    options.c_cflag |= CRTSCTS;
  } else {
    options.c_cflag &= ~CRTSCTS;
  }
  options.c_cflag |= CREAD | CLOCAL | HUPCL;
  options.c_lflag &= ~(ICANON | ISIG);
  const auto speed = speedConstant(baudRate_);
  if (!speed) {
    // Linux offers only its table of speeds through termios; the port keeps its previous settings.
    qv::consoleLog("Unable to set options on %s: %i", name().c_str(), -1);
    return;
  }
  ::cfsetispeed(&options, *speed);
  ::cfsetospeed(&options, *speed);
  const int result = ::tcsetattr(fd_, TCSANOW, &options);
  if (result != 0) qv::consoleLog("Unable to set options on %s: %i", name().c_str(), result);
}

// ---- open and close ----

bool ORSSerialPort::open() {
  std::unique_lock lock(mutex_);
  if (fd_ >= 0) return true;

  const int fd = ::open(path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    lock.unlock();
    postPosixError(error);
    return false;
  }
  auto fail = [&](int error, bool exclusive) {
    if (exclusive) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    lock.unlock();
    postPosixError(error);
    return false;
  };
  // Another process holding the port fails here (the lock is advisory, so the exclusive mode
  // below keeps out those that do not ask for it).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno, false);
  termios original{};
  if (::tcgetattr(fd, &original) != 0) return fail(errno, false);  // not a terminal
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno, false);
  // The descriptor stays non-blocking: the reading thread waits with poll, and a write waits
  // for a device that takes no bytes only so long (kWriteTimeoutMs).

  fd_ = fd;
  originalPortAttributes_ = original;
  const std::uint64_t session = ++session_;
  setPortOptionsLocked();

  int bits = 0;
  int linesError = 0;
  if (::ioctl(fd, TIOCMGET, &bits) != 0) {
    linesError = errno;
    bits = 0;
  }
  std::vector<int> lineErrors;
  if (linesError) lineErrors.push_back(linesError);
  const bool askedRTS = rts_;
  const bool askedDTR = dtr_;
  rts_ = (bits & TIOCM_RTS) != 0;
  dtr_ = (bits & TIOCM_DTR) != 0;
  if (rts_ != askedRTS) {
    rts_ = askedRTS;
    if (int e = setModemLineLocked(TIOCM_RTS, askedRTS)) lineErrors.push_back(e);
  }
  if (dtr_ != askedDTR) {
    dtr_ = askedDTR;
    if (int e = setModemLineLocked(TIOCM_DTR, askedDTR)) lineErrors.push_back(e);
  }
  cts_ = (bits & TIOCM_CTS) != 0;
  dsr_ = (bits & TIOCM_DSR) != 0;
  dcd_ = (bits & TIOCM_CD) != 0;

  // A device without modem lines (a pseudo-terminal answers ENOTTY) is not polled at all.
  const bool pollModemLines = !lacksModemLines(linesError);
  auto reader = std::make_unique<Reader>();
  reader->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (reader->wakeFd < 0) {
    const int error = errno;
    fd_ = -1;
    ::tcsetattr(fd, TCSANOW, &original);
    return fail(error, true);
  }
  pollingModemLines_ = pollModemLines;
  try {
    reader->thread = std::thread(&ORSSerialPort::readLoop, this, fd, reader->wakeFd, session, pollModemLines);
  } catch (const std::system_error& e) {
    ::close(reader->wakeFd);
    pollingModemLines_ = false;
    fd_ = -1;
    ::tcsetattr(fd, TCSANOW, &original);
    return fail(e.code().value() ? e.code().value() : EAGAIN, true);
  }
  reader_ = std::move(reader);
  lock.unlock();

  openState_.set(true);
  for (int error : lineErrors) postPosixError(error);
  qv::mainQueue()->async([weak = weak_from_this()] {
    if (auto port = weak.lock()) {
      if (auto d = port->delegate()) d->serialPortWasOpened(*port);
    }
  });
  return true;
}

void ORSSerialPort::stopReaderLocked() {
  if (!reader_) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(reader_->wakeFd, &one, sizeof one);
  // The reading thread never takes the port's lock and never runs delegate code, so waiting for
  // it here cannot deadlock; and only once it has ended may the descriptor be closed (a number
  // closed under a thread still polling it could name another file by the time it reads).
  if (reader_->thread.joinable()) reader_->thread.join();
  ::close(reader_->wakeFd);
  reader_.reset();
}

bool ORSSerialPort::close() { return closePort(true); }

bool ORSSerialPort::closePort(bool tellDelegate) {
  std::unique_lock lock(mutex_);
  if (fd_ < 0) return true;
  const int fd = fd_;
  writeBuffer_.clear();
  stopReaderLocked();
  pollingModemLines_ = false;

  // On a pseudo-terminal the exclusive mode outlives the descriptor: clear it, or the next open
  // by anyone but root fails with EBUSY.
  ::ioctl(fd, TIOCNXCL);
  termios attributes{};
  if (::tcgetattr(fd, &attributes) == 0) {
    attributes.c_cflag &= ~CRTSCTS;
    ::tcsetattr(fd, TCSANOW, &attributes);
  }
  ::tcsetattr(fd, TCSADRAIN, &originalPortAttributes_);
  fd_ = -1;
  // Linux releases the descriptor even when close reports an error, so the port is closed
  // whatever the result; keeping the number would risk using it for another file.
  const int result = ::close(fd);
  const int error = result == 0 ? 0 : errno;
  lock.unlock();

  openState_.set(false);
  if (error) {
    if (tellDelegate) notifyDelegateOfPosixError(error);
    return false;
  }
  if (tellDelegate) {
    if (auto d = delegate()) d->serialPortWasClosed(*this);
  }
  return true;
}

void ORSSerialPort::cleanup() {
  close();
  if (auto d = delegate()) d->serialPortWasRemovedFromSystem(*this);
}

// ---- writing and reading ----

bool ORSSerialPort::sendData(const qv::Data& data) {
  std::unique_lock lock(mutex_);
  if (fd_ < 0) return false;
  writeBuffer_.insert(writeBuffer_.end(), data.begin(), data.end());
  if (writeBuffer_.empty()) return true;

  int error = 0;
  std::size_t written = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  while (written < writeBuffer_.size()) {
    const ssize_t n = ::write(fd_, writeBuffer_.data() + written, writeBuffer_.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      error = errno;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error = ETIMEDOUT;
      break;
    }
    pollfd pfd{fd_, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(left.count()));
  }
  // Bytes of a failed write are dropped: left in the buffer they would go out in front of the
  // next line, corrupting it.
  writeBuffer_.clear();
  lock.unlock();
  if (error) {
    notifyDelegateOfPosixError(error);
    return false;
  }
  return true;
}

void ORSSerialPort::receiveData(const qv::Data& data) {
  if (auto d = delegate()) d->serialPortDidReceiveData(*this, data);
}

void ORSSerialPort::deliver(std::uint64_t session, const qv::Data& data) {
  if (session != session_ || !isOpen()) return;  // read in an earlier connection
  receiveData(data);
}

void ORSSerialPort::readLoop(int fd, int wakeFd, std::uint64_t session, bool pollModemLines) {
  // Runs on the port's own thread until the port closes. It touches only its descriptors, the
  // port's atomics and the main queue; the port outlives it (closing waits for it).
  using Clock = std::chrono::steady_clock;
  const std::weak_ptr<ORSSerialPort> weak = weak_from_this();
  auto nextPoll = Clock::now();
  bool cts = cts_, dsr = dsr_, dcd = dcd_;
  std::uint8_t buffer[1024];

  auto postError = [&weak](int error) {
    qv::mainQueue()->async([weak, error] {
      if (auto port = weak.lock()) port->notifyDelegateOfPosixError(error);
    });
  };

  for (;;) {
    int waitMs = kReadWaitMs;
    if (pollModemLines) {
      const auto untilPoll = std::chrono::ceil<std::chrono::milliseconds>(nextPoll - Clock::now()).count();
      waitMs = static_cast<int>(std::clamp<long long>(untilPoll, 0, kReadWaitMs));
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      postError(errno);
      break;  // the descriptors are unusable; waiting again would only spin
    }
    if (fds[1].revents) break;
    if (fds[0].revents & POLLNVAL) break;

    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        qv::Data data(buffer, buffer + n);
        qv::mainQueue()->async([weak, session, data = std::move(data)] {
          if (auto port = weak.lock()) port->deliver(session, data);
        });
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // End of file or an I/O error: the device has gone (unplugged, or the other end of a
        // pseudo-terminal closed). Reading on would spin; its removal closes the port.
        postError(n == 0 ? EIO : errno);
        break;
      }
    }

    if (pollModemLines && Clock::now() >= nextPoll) {
      nextPoll += kModemLinePollInterval;
      if (nextPoll < Clock::now()) nextPoll = Clock::now() + kModemLinePollInterval;
      int bits = 0;
      if (::ioctl(fd, TIOCMGET, &bits) != 0) {
        const int error = errno;
        postError(error);
        if (lacksModemLines(error)) {
          pollModemLines = false;
          pollingModemLines_ = false;
        }
        continue;
      }
      const bool newCTS = bits & TIOCM_CTS, newDSR = bits & TIOCM_DSR, newDCD = bits & TIOCM_CD;
      if (newCTS != cts || newDSR != dsr || newDCD != dcd) {
        cts = newCTS;
        dsr = newDSR;
        dcd = newDCD;
        qv::mainQueue()->async([weak, newCTS, newDSR, newDCD] {
          if (auto port = weak.lock()) {
            port->setCTS(newCTS);
            port->setDSR(newDSR);
            port->setDCD(newDCD);
          }
        });
      }
    }
  }
  pollingModemLines_ = false;
}
