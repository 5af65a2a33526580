// The crash-report log text and its length rules, the crash handler and the report the next
// launch makes of it, and the export of the log files as one zip.
#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "CoreTestSupport.h"
#include "core/QVLCrashReporter.h"
#include "formats/SSZipArchive.h"
#include "platform/Log.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

const std::string kSeparator = std::string(58, '=') + "\n";

TEST(CrashLogTest, FilesAreJoinedOldestFirstEachUnderItsNameAndSeparator) {
  TempFolder folder;
  const auto oldest = folder.path() / "Quorvel 2026-12-01--10-00-00-000.log";
  const auto middle = folder.path() / "Quorvel 2026-12-02--10-00-00-000.log";
  const auto newest = folder.path() / "Quorvel 2026-12-03--10-00-00-000.log";
  writeFile(oldest, "first day");
  writeFile(middle, "");
  writeFile(newest, "bad byte \xFF here");
  const auto missing = folder.path() / "Quorvel 2026-11-30--10-00-00-000.log";

  EXPECT_EQ(QVLCrashLog::applicationLogText({newest, middle, oldest, missing}),
            missing.filename().string() + "\n" + kSeparator +                        // unreadable
                oldest.filename().string() + "\n" + kSeparator + "first day\n" +       //
                middle.filename().string() + "\n" + kSeparator +                       // empty
                newest.filename().string() + "\n" + kSeparator + "bad byte \xEF\xBF\xBD here\n");
  EXPECT_EQ(QVLCrashLog::applicationLogText({}), "");
}

TEST(CrashLogTest, ALongTextKeepsItsLast5000UnitsCutBetweenCharacters) {
  const std::string exactly(10000, 'a');
  EXPECT_EQ(QVLCrashLog::tail(exactly), exactly);
  const std::string longer = "b" + exactly;
  EXPECT_EQ(QVLCrashLog::tail(longer), std::string(5000, 'a'));

  // Units are UTF-16's: "é" is one, "😀" two. A cut that would split a character leaves it out.
  const std::string accents = std::string(9990, 'x') + std::string(6, 'y') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
  EXPECT_EQ(QVLCrashLog::utf16Length(accents), 10001u);
  const std::string accentTail = QVLCrashLog::tail(accents);
  EXPECT_EQ(QVLCrashLog::utf16Length(accentTail), 5000u);
  EXPECT_TRUE(accentTail.ends_with("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"));

  std::string emoji;
  for (int i = 0; i < 2501; ++i) emoji += "\xF0\x9F\x98\x80";  // 5002 units
  emoji = std::string(5000, 'z') + "a" + emoji;              // 10003 units; 5000 would split one
  const std::string emojiTail = QVLCrashLog::tail(emoji);
  EXPECT_EQ(QVLCrashLog::utf16Length(emojiTail), 5000u);
  EXPECT_EQ(emojiTail.size() % 4, 0u);
  EXPECT_EQ(emojiTail.substr(0, 4), "\xF0\x9F\x98\x80");
}

TEST(CrashReporterTest, AFatalSignalLeavesAReportThatTheNextLaunchCompletesAndOffers) {
  // The death test runs this test again in a child: it must find the same folders.
  if (!std::getenv("QUORVEL_CRASH_TEST_DIR")) {
    static TempFolder folder;
    ::setenv("QUORVEL_CRASH_TEST_DIR", folder.path().c_str(), 1);
  }
  const fs::path root = std::getenv("QUORVEL_CRASH_TEST_DIR");
  const fs::path crashes = root / "Crashes";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        QVLCrashReporter::install(crashes, "2.10 (305)");
        ::raise(SIGSEGV);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  const auto pending = QVLCrashReporter::pendingCrashes(crashes);
  ASSERT_EQ(pending.size(), 1u);
  const std::string crash = readFile(pending[0]);
  EXPECT_NE(crash.find("Quorvel 2.10 (305) ended on SIGSEGV (signal 11)"), std::string::npos) << crash;
  EXPECT_NE(crash.find("Backtrace:\n"), std::string::npos);

  // The next launch attaches the log (with the crashed run's lines) and offers the report.
  TempFolder settingsFolder;
  Settings settings(settingsFolder.path() / "Settings.json");
  auto host = std::make_shared<RecordingScreenHost>();
  QVLAppEnvironment environment;
  environment.portManager = ORSSerialPortManager::create({});
  environment.settings = &settings;
  auto delegate = QVLAppDelegate::create(environment);
  delegate->setScreenHost(host);
  QVLLaunchOptions options;
  options.logFolder = root / "Logs";
  options.consoleLog = false;
  options.systemLog = false;
  options.crashFolder = crashes;
  {
    log::Setup setup;
    setup.logFolder = options.logFolder;
    setup.console = setup.systemLog = false;
    log::setup(setup);
    QVLogInfo("the last words of the run that crashed");
    log::reset();
  }
  delegate->applicationDidFinishLaunching(options);
  ASSERT_TRUE(waitFor([&] { return delegate->crashReportsOffered().size() == 1; }));
  const fs::path report = delegate->crashReportsOffered()[0];
  EXPECT_EQ(host->calls().back(), "crash " + report.string());
  EXPECT_TRUE(QVLCrashReporter::pendingCrashes(crashes).empty());
  const std::string text = readFile(report);
  EXPECT_EQ(text.rfind(crash, 0), 0u);
  EXPECT_NE(text.find(kSeparator), std::string::npos);
  EXPECT_NE(text.find("the last words of the run that crashed"), std::string::npos);
  log::reset();
}

class LogExportTest : public ::testing::Test {
protected:
  LogExportTest() : settings_(folder_.path() / "Settings.json") {
    QVLAppEnvironment environment;
    environment.portManager = ORSSerialPortManager::create({});
    environment.settings = &settings_;
    delegate_ = QVLAppDelegate::create(environment);
  }
  std::optional<Error> exportTo(const fs::path& destination) {
    std::atomic<bool> done{false};
    std::optional<Error> result;
    delegate_->exportLogFiles(destination, [&](const std::optional<Error>& error) {
      result = error;
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done.load(); }));
    return result;
  }

  TempFolder folder_;
  Settings settings_;
  std::shared_ptr<QVLAppDelegate> delegate_;
  CapturedLog log_;
};

TEST_F(LogExportTest, EveryLogFileIsZippedAndAnOldArchiveReplaced) {
  QVLogInfo("a line before the export");
  const fs::path destination = folder_.path() / "QuorvelLogs.zip";
  writeFile(destination, "an older export");
  ASSERT_FALSE(exportTo(destination));

  const fs::path unzipped = folder_.path() / "unzipped";
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(destination.string(), unzipped.string()));
  std::string all;
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(unzipped)) {
    ++entries;
    EXPECT_EQ(entry.path().extension(), ".log");
    all += readFile(entry.path());
  }
  EXPECT_EQ(entries, log::sortedLogFilePaths().size());  // the roll began a new file, zipped too
  EXPECT_GE(entries, 2u);
  EXPECT_NE(all.find("a line before the export"), std::string::npos);
  EXPECT_NE(all.find("Exporting log files..."), std::string::npos);
  // Nothing is left beside it.
  std::size_t besides = 0;
  for (const auto& entry : fs::directory_iterator(folder_.path())) besides += entry.path().filename().string()[0] == '.';
  EXPECT_EQ(besides, 0u);
}

TEST_F(LogExportTest, AFailedExportIsReportedAndKeepsTheOldArchive) {
  const fs::path missingFolder = folder_.path() / "no such folder" / "QuorvelLogs.zip";
  auto error = exportTo(missingFolder);
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(kScanErrorDomain, 120));
  EXPECT_EQ(*find(error->userInfo, Error::kFilePathKey)->string(), missingFolder.string());

  // A folder standing where the archive should go: the zip is made, but cannot replace it.
  const fs::path blocked = folder_.path() / "QuorvelLogs.zip";
  fs::create_directories(blocked / "keep");
  error = exportTo(blocked);
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(kScanErrorDomain, 120));
  EXPECT_TRUE(fs::is_directory(blocked / "keep"));
  for (const auto& entry : fs::directory_iterator(folder_.path())) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();  // the partial file is gone
  }
}

TEST_F(LogExportTest, TheCrashLogWaitsWithABound) {
  QVLogInfo("a line for the crash log");
  const auto text = delegate_->applicationLogForCrashManager(seconds(10));
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("a line for the crash log"), std::string::npos);
  EXPECT_NE(text->find(kSeparator), std::string::npos);
}

}  // namespace
}  // namespace qv::test
