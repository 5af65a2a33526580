// The crash-report log text, the fatal-signal handler and the reports made at the next launch.
#include "core/QVLCrashReporter.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace QVLCrashLog {

namespace {

constexpr std::size_t kLongLog = 10000;
constexpr std::size_t kKeptTail = 5000;
const std::string kSeparator = std::string(58, '=') + "\n";

// The length of a valid UTF-8 sequence starting at `i`, or 0 when the bytes there are not one.
std::size_t sequenceLength(const std::string& s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) { length = 2; min = 0x80; }
  else if ((lead & 0xF0) == 0xE0) { length = 3; min = 0x800; }
  else if ((lead & 0xF8) == 0xF0) { length = 4; min = 0x10000; }
  else return 0;
  if (i + length > s.size()) return 0;
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Valid UTF-8, with every invalid byte replaced by U+FFFD, so one bad byte spoils one character.
std::string validUTF8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t n = sequenceLength(text, i)) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace

std::size_t utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) units += (c >= 0xF0) ? 2 : 1;  // four-byte characters take a surrogate pair
  }
  return units;
}

std::string applicationLogText(const std::vector<fs::path>& logFilesNewestFirst) {
  std::string text;
  for (auto it = logFilesNewestFirst.rbegin(); it != logFilesNewestFirst.rend(); ++it) {
    text += it->filename().string();
    text += "\n";
    text += kSeparator;
    std::ifstream in(*it, std::ios::binary);
    if (!in) continue;
    std::ostringstream contents;
    contents << in.rdbuf();
    const std::string body = contents.str();
    if (body.empty()) continue;
    text += validUTF8(body);
    text += "\n";
  }
  return text;
}

std::string tail(const std::string& text) {
  if (utf16Length(text) <= kLongLog) return text;
  // Walk back from the end by whole characters until the next one would pass the kept length.
  std::size_t units = 0;
  std::size_t start = text.size();
  while (start > 0) {
    std::size_t lead = start - 1;
    while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
    const std::size_t charUnits = static_cast<unsigned char>(text[lead]) >= 0xF0 ? 2 : 1;
    if (units + charUnits > kKeptTail) break;
    units += charUnits;
    start = lead;
  }
  return text.substr(start);
}

}  // namespace QVLCrashLog

namespace QVLCrashReporter {

namespace {

// Everything the handler needs is prepared here, so that it only formats into fixed buffers and
// calls what is safe in a signal handler.
char gFolder[4096];
char gVersion[128];
volatile sig_atomic_t gInstalled = 0;
volatile sig_atomic_t gHandling = 0;
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void append(char* buffer, std::size_t size, const char* text) {
  std::size_t used = std::strlen(buffer);
  while (*text && used + 1 < size) buffer[used++] = *text++;
  buffer[used] = '\0';
}

void appendNumber(char* buffer, std::size_t size, unsigned long long value, int width = 0) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value && n < 23);
  while (n < width && n < 23) digits[n++] = '0';
  char text[24];
  for (int k = 0; k < n; ++k) text[k] = digits[n - 1 - k];
  text[n] = '\0';
  append(buffer, size, text);
}

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

void writeAll(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

void handleFatalSignal(int sig) {
  if (!gHandling) {
    gHandling = 1;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    char path[4200] = "";
    append(path, sizeof path, gFolder);
    append(path, sizeof path, "/Crash ");
    appendNumber(path, sizeof path, static_cast<unsigned long long>(now.tv_sec));
    append(path, sizeof path, " ");
    appendNumber(path, sizeof path, static_cast<unsigned long long>(::getpid()));
    append(path, sizeof path, ".crash");
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
      char head[512] = "";
      append(head, sizeof head, "Quorvel ");
      append(head, sizeof head, gVersion);
      append(head, sizeof head, " ended on ");
      append(head, sizeof head, signalName(sig));
      append(head, sizeof head, " (signal ");
      appendNumber(head, sizeof head, static_cast<unsigned long long>(sig));
      append(head, sizeof head, "), process ");
      appendNumber(head, sizeof head, static_cast<unsigned long long>(::getpid()));
      append(head, sizeof head, ", at ");
      appendNumber(head, sizeof head, static_cast<unsigned long long>(now.tv_sec));
      append(head, sizeof head, " s since 1970\nBacktrace:\n");
      writeAll(fd, head);
      void* frames[64];
      const int count = ::backtrace(frames, 64);
      ::backtrace_symbols_fd(frames, count, fd);
      ::close(fd);
    }
  }
  // The handler was installed to run once: the signal now ends the process as it would have.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

fs::path defaultFolder() { return qv::paths::logFolder().parent_path() / "Crashes"; }

bool install(const fs::path& folder, const std::string& version) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || folder.string().size() >= sizeof gFolder) return false;
  std::strncpy(gFolder, folder.c_str(), sizeof gFolder - 1);
  std::strncpy(gVersion, version.c_str(), sizeof gVersion - 1);
  if (gInstalled) return true;
  // The first backtrace loads the unwinder, which may allocate: not in the handler.
  void* frames[2];
  ::backtrace(frames, 2);
  // A stack overflow leaves no stack for the handler: it runs on a stack of its own.
  static char alternateStack[64 * 1024];
  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  ::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = handleFatalSignal;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &action, nullptr);
  gInstalled = 1;
  return true;
}

bool isInstalled() { return gInstalled != 0; }

std::vector<fs::path> pendingCrashes(const fs::path& folder) {
  std::vector<fs::path> crashes;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".crash" && it->is_regular_file(ec)) crashes.push_back(it->path());
  }
  std::sort(crashes.begin(), crashes.end());
  return crashes;
}

fs::path makeReport(const fs::path& crash, const std::string& logText) {
  std::ifstream in(crash, std::ios::binary);
  if (!in) return {};
  std::ostringstream crashText;
  crashText << in.rdbuf();
  fs::path report = crash;
  report.replace_extension(".report");
  const fs::path partial = report.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << crashText.str() << "\n" << logText;
    out.close();
    if (!out) {
      std::error_code ec;
      fs::remove(partial, ec);
      return {};
    }
  }
  std::error_code ec;
  fs::rename(partial, report, ec);
  if (ec) {
    fs::remove(partial, ec);
    return {};
  }
  fs::remove(crash, ec);
  return report;
}

}  // namespace QVLCrashReporter
