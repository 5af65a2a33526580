// Saving a calibration into the simulated scanner and into the settings, the refusals, and the
// test of whether a calibration is usable at its bounds.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <limits>

#include "CoreTestSupport.h"
#include "platform/UUID.h"
#include "scancmd/QVLIErrors.h"
#include "screens/CalibrationWizardPresenter.h"

namespace qv::test {
namespace {

constexpr const char* kResultsKey = "CalibrationResultsForLastScanner";

class CalibrationSaveTest : public CoreTest {
protected:
  void connect(const std::filesystem::path& scannerMemory = {}) {
    scanner_ = &plugScanner(sim::FirmwareGeneration::V170, sim::FirmwarePace::none(), scannerMemory);
    launch();
    clock_.advanceSeconds(1.0);
    ASSERT_TRUE(waitFor([&] { return delegate_->deviceInterpreter() && delegate_->currentConnectionState() == 0; }));
    Error error;
    ASSERT_TRUE(delegate_->connectToScanner(&error)) << error.text();  // a calibration runs connected
  }
  // Saves and waits for one outcome; answers the error, if that was the outcome.
  // With `throughWatchdog` the manual clock moves on while waiting.
  std::optional<Error> save(std::shared_ptr<const QVSCalibrationDetails> calibration, bool throughWatchdog = false) {
    int calls = 0;
    std::optional<Error> failure;
    delegate_->saveCalibration(calibration, [&] { ++calls; }, [&](const Error& e) { ++calls, failure = e; });
    EXPECT_TRUE(throughWatchdog ? advanceUntil([&] { return calls > 0; }) : waitFor([&] { return calls > 0; }));
    drainMainQueue();
    EXPECT_EQ(calls, 1);
    return failure;
  }

  sim::FirmwareEmulator* scanner_ = nullptr;
};

TEST_F(CalibrationSaveTest, TheScannerAndTheSettingsHoldTheNewCalibrationAndTheScannersIdentifier) {
  connect();
  const auto oldGuid = scanner_->storedCalibration().at("GUID");
  int notices = 0;
  delegate_->isCalibratedObservable().addListener([&](bool, bool) { ++notices; });
  EXPECT_FALSE(delegate_->isCalibrated());  // the factory record has no intrinsics

  const auto calibration = goodCalibration();
  ASSERT_FALSE(save(calibration));
  EXPECT_EQ(delegate_->calibrationDetails(), calibration);
  EXPECT_TRUE(delegate_->isCalibrated());
  EXPECT_EQ(notices, 1);

  const auto stored = scanner_->storedCalibration();
  EXPECT_FLOAT_EQ(std::stof(stored.at("BDNY")), 0.8f);
  EXPECT_FLOAT_EQ(std::stof(stored.at("BEDZ")), -300.0f);
  EXPECT_FLOAT_EQ(std::stof(stored.at("L1OX")), -120.5f);
  EXPECT_FLOAT_EQ(std::stof(stored.at("CI00")), 1400.5f);
  EXPECT_FLOAT_EQ(std::stof(stored.at("CDM1")), 0.0625f);
  EXPECT_FLOAT_EQ(std::stof(stored.at("LSNY")), 1.0f);
  std::string upper = oldGuid;
  for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(stored.at("GUID"), upper);  // the scanner's own, as the interpreter reads it

  const auto json = Settings::fromJSON(*settings_.stringForKey(kResultsKey));
  ASSERT_TRUE(json);
  EXPECT_EQ(json->size(), 16u);
  EXPECT_EQ(json->at("CalibrationVersion"), Value(1));
  // Each float in its shortest form, so the text reads back as the same float.
  EXPECT_EQ(static_cast<float>(json->at("BedNormalY").toDouble()), 0.8f);
  EXPECT_DOUBLE_EQ(json->at("BedOriginY").toDouble(), -20.25);
  EXPECT_EQ(static_cast<float>(json->at("Laser2NormalX").toDouble()), -0.866025f);
  EXPECT_DOUBLE_EQ(json->at("LeadScrewNormalY").toDouble(), 1.0);
  for (const char* absent : {"Laser1OriginX", "IntrinsicFX", "Distortion0", "UniqueId"}) EXPECT_FALSE(json->count(absent));

  // Disconnecting stops the scanner and closes the port.
  bool disconnected = false;
  delegate_->disconnectFromScanner([&] { disconnected = true; }, {});
  ASSERT_TRUE(waitFor([&] { return disconnected; }));
  EXPECT_FALSE(delegate_->device()->serialPort());
}

TEST_F(CalibrationSaveTest, AScannerWithoutAnIdentifierGetsANewOne) {
  connect();
  scanner_->setStoredValue("GUID", "");
  ASSERT_FALSE(save(goodCalibration()));
  const auto guid = scanner_->storedCalibration().at("GUID");
  EXPECT_TRUE(isUUIDString(guid)) << guid;
  EXPECT_NE(guid, "00000000-0000-4000-8000-000000000000");
}

TEST_F(CalibrationSaveTest, NonFiniteCalibrationsAndMissingScannersAreRefusedChangingNothing) {
  // No scanner: the error comes at once instead of never.
  launch();
  auto refusal = save(goodCalibration());
  ASSERT_TRUE(refusal);
  EXPECT_TRUE(refusal->is(kScanErrorDomain, 5));
  delegate_.reset();

  connect();
  ASSERT_FALSE(save(goodCalibration()));
  const auto settingsBefore = settings_.stringForKey(kResultsKey);
  const auto storedBefore = scanner_->storedCalibration();
  const auto commandsBefore = scanner_->commands().size();
  const auto detailsBefore = delegate_->calibrationDetails();

  for (auto poison : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    auto bad = goodCalibration();
    bad->setLeadScrewNormalZ(poison);
    refusal = save(bad);
    ASSERT_TRUE(refusal);
    EXPECT_TRUE(refusal->is(kScanErrorDomain, 18));
    bad = goodCalibration();
    bad->setLaser2OriginY(poison);  // a value the settings copy does not even hold
    refusal = save(bad);
    ASSERT_TRUE(refusal);
    EXPECT_TRUE(refusal->is(kScanErrorDomain, 18));
  }
  EXPECT_EQ(settings_.stringForKey(kResultsKey), settingsBefore);
  EXPECT_EQ(scanner_->storedCalibration(), storedBefore);
  EXPECT_EQ(scanner_->commands().size(), commandsBefore);
  EXPECT_EQ(delegate_->calibrationDetails(), detailsBefore);
}

TEST_F(CalibrationSaveTest, AWriteThatFailsLeavesTheSettingsAndTheCalibrationAsTheyWere) {
  connect();
  const auto detailsBefore = delegate_->calibrationDetails();
  scanner_->unplugOnNextCommand(">>>");  // gone after the first line of the write
  const auto refusal = save(goodCalibration(), true);
  ASSERT_TRUE(refusal);
  EXPECT_FALSE(settings_.stringForKey(kResultsKey));
  EXPECT_EQ(delegate_->calibrationDetails(), detailsBefore);
}

// A scanner whose memory cannot take the calibration does not acknowledge the line it could not
// keep: the save fails through the watchdog, and the calibration screen says it was not saved
// instead of "Calibration complete", with nothing changed in the scanner, the settings or the
// delegate.
TEST_F(CalibrationSaveTest, AScannerThatCannotKeepTheCalibrationFailsTheSaveSayingItWasNotSaved) {
  TempFolder temp;
  std::ofstream(temp.path() / "file") << "not a folder";
  connect(temp.path() / "file" / "memory");  // never writable, whoever runs the test
  const auto storedBefore = scanner_->storedCalibration();
  const auto detailsBefore = delegate_->calibrationDetails();
  CapturedLog log;

  const auto refusal = save(goodCalibration(), true);
  ASSERT_TRUE(refusal);
  EXPECT_TRUE(refusal->is(kInterpreterErrorDomain, QVLIErrorAborted)) << refusal->text();
  EXPECT_EQ(screens::CalibrationWizardPresenter::failureMessageForError(*refusal),
            QVLAppDelegate::kCalibrationNotSavedReason);

  EXPECT_EQ(scanner_->storedCalibration(), storedBefore);
  const auto commands = scanner_->commands();
  const auto writes = std::count_if(commands.begin(), commands.end(), [](const std::string& c) { return c.starts_with(">>>"); });
  EXPECT_EQ(writes, 1)
      << "the write went on past a line the scanner did not acknowledge";
  const std::string text = log.text();
  std::size_t failedWrites = 0;
  for (auto at = text.find("cannot be written"); at != std::string::npos; at = text.find("cannot be written", at + 1))
    ++failedWrites;
  EXPECT_EQ(failedWrites, 1u) << text;
  EXPECT_FALSE(settings_.stringForKey(kResultsKey));
  EXPECT_EQ(delegate_->calibrationDetails(), detailsBefore);
  EXPECT_FALSE(delegate_->isCalibrated());
}

TEST(CalibrationTest, IsCalibratedAtItsBounds) {
  const auto usable = [](const std::function<void(QVSCalibrationDetails&)>& change) {
    auto c = goodCalibration();
    change(*c);
    return QVLAppDelegate::isCalibrationUsable(c.get());
  };
  EXPECT_FALSE(QVLAppDelegate::isCalibrationUsable(nullptr));
  EXPECT_TRUE(usable([](auto&) {}));
  // Normal lengths: 0.9 and 1.1 pass, 1.2 fails.
  EXPECT_TRUE(usable([](auto& c) { c.setBedNormalY(0.9f), c.setBedNormalZ(0.0f); }));
  EXPECT_TRUE(usable([](auto& c) { c.setBedNormalY(1.1f), c.setBedNormalZ(0.0f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setBedNormalY(1.2f), c.setBedNormalZ(0.0f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setLaser1NormalX(0.5f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setLeadScrewNormalY(0.0f); }));
  // The bed below the camera: 0 passes, 0.001 and NaN fail.
  EXPECT_TRUE(usable([](auto& c) { c.setBedOriginZ(0.0f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setBedOriginZ(0.001f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setBedOriginZ(std::nanf("")); }));
  // Intrinsics strictly positive, distortion finite.
  EXPECT_FALSE(usable([](auto& c) { c.setIntrinsicCX(0.0f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setIntrinsicFY(-1.0f); }));
  EXPECT_FALSE(usable([](auto& c) { c.setDistortion3(std::numeric_limits<float>::infinity()); }));
  // Origins other than the bed's z may hold anything.
  EXPECT_TRUE(usable([](auto& c) { c.setLaser1OriginX(std::nanf("")), c.setBedOriginX(1e30f); }));
  // An old firmware's record without normals.
  EXPECT_FALSE(usable([](auto& c) {
    c.setBedNormalY(0), c.setBedNormalZ(0), c.setLaser1NormalX(0), c.setLaser1NormalZ(0);
    c.setLaser2NormalX(0), c.setLaser2NormalZ(0), c.setLeadScrewNormalY(0);
  }));
}

}  // namespace
}  // namespace qv::test
