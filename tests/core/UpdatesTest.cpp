// The update feed: reading an appcast, choosing the item to offer, and never asking a feed that
// is not configured.
#include <atomic>

#include "CoreTestSupport.h"

namespace qv::test {
namespace {

QVLAppcastItem item(std::string version, std::string display) {
  QVLAppcastItem i;
  i.versionString = std::move(version);
  i.displayVersionString = std::move(display);
  return i;
}

TEST(AppcastTest, TheLargestIntegerVersionWinsBetasAndNonNumbersNever) {
  using QVLAppcast::bestValidUpdate;
  EXPECT_EQ(bestValidUpdate({item("305", "1.3"), item("310", "1.31"), item("312", "1.4b")}), 1u);
  EXPECT_EQ(bestValidUpdate({item("310", "1.31"), item("310", "1.31 again")}), 0u);  // ties keep the first
  EXPECT_EQ(bestValidUpdate({item("400", "2.0B"), item("12", "1.0")}), 0u);  // only a lower-case "b" is a beta
  EXPECT_EQ(bestValidUpdate({item("0", "1.0"), item("-3", "1.1"), item("abc", "1.2")}), std::nullopt);
  EXPECT_EQ(bestValidUpdate({item("9b", "0.9b")}), std::nullopt);
  EXPECT_EQ(bestValidUpdate({}), std::nullopt);
  EXPECT_EQ(bestValidUpdate({item(" 12rc1", "1.2"), item("11", "1.1")}), 0u);

  EXPECT_EQ(QVLAppcast::integerValue("  -42x"), -42);
  EXPECT_EQ(QVLAppcast::integerValue("99999999999999999999999"), std::numeric_limits<std::int64_t>::max());
}

TEST(AppcastTest, ItemsAreReadFromEnclosureAttributesOrElementsInFeedOrder) {
  const char* feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Quorvel</title>
    <item>
      <title>Quorvel 1.3</title>
      <sparkle:releaseNotesLink>https://example.invalid/notes/305.html</sparkle:releaseNotesLink>
      <enclosure url="https://example.invalid/quorvel-305.tar.xz" sparkle:version="305" sparkle:shortVersionString="1.3" length="1" type="application/octet-stream"/>
    </item>
    <item>
      <title>Quorvel 1.4 beta</title>
      <sparkle:version>312</sparkle:version>
      <sparkle:shortVersionString>1.4b</sparkle:shortVersionString>
      <enclosure url="https://example.invalid/quorvel-312.tar.xz"/>
    </item>
  </channel>
</rss>)";
  const auto items = QVLAppcast::parse(feed);
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ((*items)[0].title, "Quorvel 1.3");
  EXPECT_EQ((*items)[0].versionString, "305");
  EXPECT_EQ((*items)[0].displayVersionString, "1.3");
  EXPECT_EQ((*items)[0].fileURL, "https://example.invalid/quorvel-305.tar.xz");
  EXPECT_EQ((*items)[0].releaseNotesURL, "https://example.invalid/notes/305.html");
  EXPECT_EQ((*items)[1].versionString, "312");
  EXPECT_EQ((*items)[1].displayVersionString, "1.4b");

  Error error;
  EXPECT_FALSE(QVLAppcast::parse("<html><body>not a feed</body></html>", &error));
  EXPECT_TRUE(error.is(kScanErrorDomain, 130));
  EXPECT_FALSE(QVLAppcast::parse("<rss><channel><item>", &error));
}

class UpdateCheckTest : public ::testing::Test {
protected:
  UpdateCheckTest() : settings_(folder_.path() / "Settings.json") { settings_.setValue("EnableCrashReporting", false); }

  std::shared_ptr<QVLAppDelegate> makeDelegate(std::string feed) {
    QVLAppEnvironment environment;
    environment.portManager = ORSSerialPortManager::create({});
    environment.settings = &settings_;
    environment.buildVersion = "305";
    environment.updateFetcher = [this, feed](const std::string& url, Error*) -> std::optional<std::string> {
      requests_.fetch_add(1);
      std::lock_guard lock(mutex_);
      lastURL_ = url;
      return feed;
    };
    auto delegate = QVLAppDelegate::create(environment);
    delegate->setScreenHost(host_);
    shown_ = delegate;
    return delegate;
  }

  TempFolder folder_;
  Settings settings_;
  // The shell's first showing of the main screen runs the start-up check.
  std::weak_ptr<QVLAppDelegate> shown_;
  std::shared_ptr<RecordingScreenHost> host_ = std::make_shared<RecordingScreenHost>([this] {
    if (auto delegate = shown_.lock()) delegate->runStartupUpdateCheckIfDue();
  });
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::string lastURL_;
};

const char* kFeedWith310 = R"(<rss><channel>
  <item><enclosure sparkle:version="305" sparkle:shortVersionString="1.3"/></item>
  <item><enclosure sparkle:version="310" sparkle:shortVersionString="1.31"/></item>
</channel></rss>)";

TEST_F(UpdateCheckTest, WithNoFeedConfiguredNoRequestIsEverMade) {
  auto delegate = makeDelegate(kFeedWith310);
  QVLLaunchOptions options;
  options.setUpLogging = false;
  delegate->applicationDidFinishLaunching(options);  // checks on start-up by default
  delegate->checkForUpdates();
  drainMainQueue();
  EXPECT_EQ(requests_.load(), 0);
  EXPECT_EQ(host_->calls(), (std::vector<std::string>{"hud", "no update 130"}));
}

TEST_F(UpdateCheckTest, TheStartUpCheckRunsOnceAndOffersOnlyANewerVersion) {
  settings_.setValue(QVLUpdater::kFeedURLKey, "https://updates.example.invalid/appcast.xml");
  auto delegate = makeDelegate(kFeedWith310);
  QVLLaunchOptions options;
  options.setUpLogging = false;
  delegate->applicationDidFinishLaunching(options);
  ASSERT_TRUE(waitFor([&] { return host_->calls().size() == 2; }));
  EXPECT_EQ(host_->calls()[1], "background update 310");
  EXPECT_EQ(requests_.load(), 1);
  {
    std::lock_guard lock(mutex_);
    // The system profile goes along as feed parameters.
    EXPECT_EQ(lastURL_.rfind("https://updates.example.invalid/appcast.xml?appName=Quorvel&appVersion=305&", 0), 0u) << lastURL_;
    EXPECT_NE(lastURL_.find("osVersion="), std::string::npos);
  }
  delegate->runStartupUpdateCheckIfDue();  // consumed already
  drainMainQueue();
  EXPECT_EQ(requests_.load(), 1);

  // Running 310 already: the user's check finds nothing newer.
  auto current = makeDelegate(R"(<rss><channel><item><sparkle:version>305</sparkle:version></item></channel></rss>)");
  current->checkForUpdates();
  ASSERT_TRUE(waitFor([&] { return host_->calls().size() == 3; }));
  EXPECT_EQ(host_->calls()[2], "no update");
}

TEST_F(UpdateCheckTest, SwitchedOffTheStartUpCheckAsksNothing) {
  settings_.setValue(QVLUpdater::kFeedURLKey, "https://updates.example.invalid/appcast.xml");
  settings_.setValue("CheckForUpdatesOnStartup", false);
  CapturedLog log;
  auto delegate = makeDelegate(kFeedWith310);
  QVLLaunchOptions options;
  options.setUpLogging = false;
  delegate->applicationDidFinishLaunching(options);
  drainMainQueue();
  EXPECT_EQ(requests_.load(), 0);
  EXPECT_TRUE(log.contains("Not checking for updates (installed: 0.305)")) << log.text();
}

}  // namespace
}  // namespace qv::test
