// The rolling log file and the threshold.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/Timer.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace {

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class LogTest : public ::testing::Test {
protected:
  void TearDown() override {
    qv::log::reset();
    qv::log::setThreshold(qv::log::Level::Info);
  }
  void setUpFileLog() {
    qv::log::Setup setup;
    setup.logFolder = dir_.path();
    setup.console = false;
    setup.systemLog = false;
    qv::log::setup(setup);
  }
  qv::test::TempFolder dir_;
  qv::test::ManualClockScope manualClock_;
  std::shared_ptr<qv::ManualClock> clock_ = manualClock_.clock();
};

}  // namespace

TEST_F(LogTest, ErrorsWarningsAndInformationReachTheFileButNotDebug) {
  setUpFileLog();
  QVLogError("error %d", 1);
  QVLogWarn("warning %s", "two");
  QVLogInfo("info %0.1f", 3.0);
  QVLogDebug("debug");
  QVLogVerbose("verbose");
  const auto files = qv::log::sortedLogFilePaths();
  ASSERT_EQ(files.size(), 1u);
  const std::string text = readFile(files[0]);
  EXPECT_NE(text.find("error 1"), std::string::npos);
  EXPECT_NE(text.find("warning two"), std::string::npos);
  EXPECT_NE(text.find("info 3.0"), std::string::npos);
  EXPECT_NE(text.find("LogTest.cpp"), std::string::npos);  // each line names its source
  EXPECT_EQ(text.find("debug"), std::string::npos);
  EXPECT_EQ(text.find("verbose"), std::string::npos);

  qv::log::setThreshold(qv::log::Level::Verbose);
  QVLogVerbose("now verbose");
  EXPECT_NE(readFile(files[0]).find("now verbose"), std::string::npos);
}

TEST_F(LogTest, ADayOldFileIsRolledAndOnlySevenFilesAreKept) {
  setUpFileLog();
  for (int day = 0; day < 10; ++day) {
    QVLogInfo("day %d", day);
    clock_->advanceSeconds(86400);
  }
  QVLogInfo("day %d", 10);
  const auto files = qv::log::sortedLogFilePaths();
  ASSERT_EQ(files.size(), 7u);
  EXPECT_NE(readFile(files[0]).find("day 10"), std::string::npos);  // newest first
  EXPECT_NE(readFile(files[6]).find("day 4"), std::string::npos);
  EXPECT_EQ(readFile(files[0]).find("day 9"), std::string::npos);
}

TEST_F(LogTest, AFileYoungerThanADayKeepsGrowing) {
  setUpFileLog();
  QVLogInfo("first");
  clock_->advanceSeconds(86399);
  QVLogInfo("second");
  EXPECT_EQ(qv::log::sortedLogFilePaths().size(), 1u);
}

TEST_F(LogTest, RollingOnRequestClosesTheFileThenCallsBackOffTheCallingThread) {
  setUpFileLog();
  QVLogInfo("before the roll");
  std::promise<std::thread::id> rolled;
  qv::log::rollLogFile([&] { rolled.set_value(std::this_thread::get_id()); });
  auto future = rolled.get_future();
  ASSERT_EQ(future.wait_for(qv::test::kPatience), std::future_status::ready);
  EXPECT_NE(future.get(), std::this_thread::get_id());
  QVLogInfo("after the roll");
  const auto files = qv::log::sortedLogFilePaths();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(readFile(files[1]).find("before the roll"), std::string::npos);
  EXPECT_NE(readFile(files[0]).find("after the roll"), std::string::npos);
}

TEST_F(LogTest, ANewLaunchContinuesTodaysFile) {
  setUpFileLog();
  QVLogInfo("first launch");
  setUpFileLog();  // as the next launch would
  QVLogInfo("second launch");
  const auto files = qv::log::sortedLogFilePaths();
  ASSERT_EQ(files.size(), 1u);
  const std::string text = readFile(files[0]);
  EXPECT_NE(text.find("first launch"), std::string::npos);
  EXPECT_NE(text.find("second launch"), std::string::npos);
}
