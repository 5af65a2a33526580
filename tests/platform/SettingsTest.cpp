// The settings store: precedence, coercions, persistence and damaged files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>

#include "platform/Settings.h"
#include "support/CapturedLog.h"
#include "support/TempFolder.h"

namespace {

using qv::test::TempFolder;

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(Settings, UserValuesWinOverRegisteredDefaultsUntilRemoved) {
  TempFolder dir;
  qv::Settings settings(dir.path() / "Settings.json");
  settings.registerDefaults({{"CameraLaser1ExposureSetting", 50}, {"EnableAdaptiveScanning", true}});
  EXPECT_EQ(settings.integerForKey("CameraLaser1ExposureSetting"), 50);
  EXPECT_FALSE(settings.hasUserValue("CameraLaser1ExposureSetting"));

  settings.setValue("CameraLaser1ExposureSetting", 80);
  EXPECT_EQ(settings.integerForKey("CameraLaser1ExposureSetting"), 80);
  settings.registerDefaults({{"CameraLaser1ExposureSetting", 60}});  // a later registration
  EXPECT_EQ(settings.integerForKey("CameraLaser1ExposureSetting"), 80);

  settings.removeObjectForKey("CameraLaser1ExposureSetting");
  EXPECT_EQ(settings.integerForKey("CameraLaser1ExposureSetting"), 60);

  // Absent keys read as nothing, zero and no.
  EXPECT_FALSE(settings.objectForKey("OverrideAutoTuning"));
  EXPECT_FALSE(settings.boolForKey("OverrideAutoTuning"));
  EXPECT_EQ(settings.integerForKey("OverrideAutoTuning"), 0);
  EXPECT_FALSE(settings.stringForKey("OverrideAutoTuning"));
}

TEST(Settings, TypedReadersCoerceAsTheStoreAlwaysHas) {
  TempFolder dir;
  qv::Settings settings(dir.path() / "Settings.json");
  settings.setValue("Text", "12.75mm");
  settings.setValue("Word", "abc");
  settings.setValue("Yes", "YES");
  settings.setValue("Int", 3);
  settings.setValue("Double", 0.125);
  settings.setValue("Zero", 0);

  EXPECT_EQ(settings.integerForKey("Text"), 12);  // text by its leading number
  EXPECT_DOUBLE_EQ(settings.doubleForKey("Text"), 12.75);
  EXPECT_EQ(settings.integerForKey("Word"), 0);
  EXPECT_TRUE(settings.boolForKey("Text"));
  EXPECT_FALSE(settings.boolForKey("Word"));
  EXPECT_TRUE(settings.boolForKey("Yes"));
  EXPECT_TRUE(settings.boolForKey("Int"));  // integers read as booleans
  EXPECT_FALSE(settings.boolForKey("Zero"));
  EXPECT_EQ(settings.stringForKey("Int"), "3");  // a number read as text
  EXPECT_DOUBLE_EQ(std::stod(*settings.stringForKey("Double")), 0.125);
  EXPECT_EQ(settings.integerForKey("Double"), 0);
  EXPECT_FLOAT_EQ(settings.floatForKey("Double"), 0.125f);
}

TEST(Settings, ValuesSurviveAReloadWithTheirTypes) {
  TempFolder dir;
  const auto file = dir.path() / "nested" / "Settings.json";
  {
    qv::Settings settings(file);
    settings.registerDefaults({{"NotStored", 7}});
    EXPECT_FALSE(settings.setValue("Exposure", 500));
    settings.setValue("Rotation", 2.0);
    settings.setValue("Colour", true);
    settings.setValue("Json", "{\"a\": 1}");
    settings.setValue("Blob", qv::Data{0, 1, 254, 255});
    settings.setValue("List", qv::Array{0.9, "x", qv::Dictionary{{"k", 1}}});
  }
  qv::Settings reloaded(file);
  EXPECT_EQ(reloaded.integerForKey("Exposure"), 500);
  EXPECT_TRUE(reloaded.objectForKey("Rotation")->isDouble());
  EXPECT_TRUE(reloaded.objectForKey("Colour")->isBool());
  EXPECT_EQ(reloaded.stringForKey("Json"), "{\"a\": 1}");
  EXPECT_EQ(reloaded.dataForKey("Blob"), (qv::Data{0, 1, 254, 255}));
  auto list = reloaded.arrayForKey("List");
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[2].dictionary()->at("k").toInt64(), 1);
  EXPECT_FALSE(reloaded.objectForKey("NotStored"));  // defaults are never written
  EXPECT_EQ(readFile(file).find("NotStored"), std::string::npos);
}

TEST(Settings, ADamagedFileIsMovedAsideAndTheDefaultsApply) {
  TempFolder dir;
  const auto file = dir.path() / "Settings.json";
  // Two damaged files in a row (within the same second, as two quick starts would be): each is
  // kept. Nesting far beyond any value we write counts as damage, rather than overflowing the
  // stack of the reader at every start.
  const std::string damaged[] = {"{\"Exposure\": 12,", "{\"Deep\": " + std::string(100000, '[') + std::string(100000, ']') + "}"};
  for (const auto& text : damaged) {
    std::ofstream(file) << text;
    qv::Settings settings(file);
    settings.registerDefaults({{"Exposure", 50}});
    EXPECT_EQ(settings.integerForKey("Exposure"), 50);
    EXPECT_FALSE(settings.objectForKey("Deep"));
    EXPECT_FALSE(std::filesystem::exists(file));
  }
  std::set<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind("Settings.json.corrupt-", 0), 0u) << entry.path();
    kept.insert(readFile(entry.path()));
  }
  EXPECT_EQ(kept, std::set<std::string>(std::begin(damaged), std::end(damaged)));

  qv::Settings settings(file);
  settings.setValue("Exposure", 70);  // and the store works on
  EXPECT_EQ(qv::Settings(file).integerForKey("Exposure"), 70);
  // Nesting that any of our values could need still reads.
  std::ofstream(file) << "{\"Nested\": " + std::string(200, '[') + std::string(200, ']') + "}";
  EXPECT_TRUE(qv::Settings(file).arrayForKey("Nested"));

  // One that cannot be set aside (its name with the suffix is longer than a name may be) stays
  // where it is, and the log says so and why, not that it was moved.
  const auto longName = dir.path() / (std::string(235, 'S') + ".json");
  std::ofstream(longName) << damaged[0];
  qv::test::CapturedLog log;
  qv::Settings stayed(longName);
  stayed.registerDefaults({{"Exposure", 50}});
  EXPECT_EQ(stayed.integerForKey("Exposure"), 50);
  EXPECT_EQ(readFile(longName), damaged[0]);
  EXPECT_TRUE(log.contains("could not be set aside (" + std::string(std::strerror(ENAMETOOLONG)) + ")")) << log.text();
  EXPECT_FALSE(log.contains("moved to")) << log.text();
}

TEST(Settings, TextThatIsNotUtf8IsRefusedAndTheSettingsStayWritable) {
  TempFolder dir;
  const auto file = dir.path() / "Settings.json";
  qv::Settings settings(file);
  EXPECT_FALSE(settings.setValue("Name", std::string("Scanner")));
  EXPECT_TRUE(settings.setValue("Name", std::string("Sc\xE4nner")));  // Latin-1, not UTF-8
  EXPECT_TRUE(settings.setValue("K\xFF", 1));
  EXPECT_TRUE(settings.setValue("List", qv::Value(qv::Array{qv::Value(std::string("\xC3"))})));
  EXPECT_EQ(settings.stringForKey("Name"), "Scanner");
  EXPECT_FALSE(settings.setValue("Exposure", 70)) << "one bad text made every later write fail";
  qv::Settings reloaded(file);
  EXPECT_EQ(reloaded.stringForKey("Name"), "Scanner");
  EXPECT_EQ(reloaded.integerForKey("Exposure"), 70);
}

TEST(Settings, ATopLevelThatIsNotAnObjectCountsAsDamaged) {
  TempFolder dir;
  const auto file = dir.path() / "Settings.json";
  std::ofstream(file) << "[1, 2, 3]";
  qv::Settings settings(file);
  EXPECT_FALSE(settings.objectForKey("0"));
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(Settings, AFailedWriteIsReportedAndTheValueKeptInMemory) {
  TempFolder dir;
  // A file where the settings folder should be: the folder cannot be made.
  std::ofstream(dir.path() / "blocked") << "x";
  qv::Settings settings(dir.path() / "blocked" / "Settings.json");
  auto error = settings.setValue("Exposure", 5);
  EXPECT_TRUE(error);
  EXPECT_EQ(settings.integerForKey("Exposure"), 5);
}

TEST(Settings, ObjectsWithoutAFileFormAreRefused) {
  TempFolder dir;
  qv::Settings settings(dir.path() / "Settings.json");
  EXPECT_TRUE(settings.setValue("Port", qv::Value::object(42)));
  EXPECT_FALSE(settings.objectForKey("Port"));
}

TEST(Settings, ListenersHearEveryChangeWithItsKey) {
  TempFolder dir;
  qv::Settings settings(dir.path() / "Settings.json");
  std::vector<std::string> keys;
  auto token = settings.addChangeListener([&](const std::string& key) { keys.push_back(key); });
  settings.setValue("A", 1);
  settings.removeObjectForKey("A");
  settings.removeObjectForKey("A");  // nothing to remove: no change
  settings.removeChangeListener(token);
  settings.setValue("B", 1);
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "A"}));
}

TEST(Settings, NonFiniteNumbersAreStoredAsNothingRatherThanBreakingTheFile) {
  TempFolder dir;
  const auto file = dir.path() / "Settings.json";
  {
    qv::Settings settings(file);
    settings.setValue("Good", 1);
    settings.setValue("Bad", std::numeric_limits<double>::quiet_NaN());
  }
  qv::Settings reloaded(file);
  EXPECT_EQ(reloaded.integerForKey("Good"), 1);  // the file stayed readable
  EXPECT_TRUE(reloaded.objectForKey("Bad")->isNull());
}
