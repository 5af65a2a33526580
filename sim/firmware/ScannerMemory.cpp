// The simulated scanner's memory file: a JSON object with the stored calibration's keys and values
// as text, and the banner of the firmware a flash installed.
#include "sim/firmware/ScannerMemory.h"

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/Log.h"
#include "platform/SafeFile.h"

namespace qv::sim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kCalibration = "calibration";
constexpr const char* kFlashedFirmware = "flashedFirmware";

std::optional<FirmwareGeneration> generationWithBanner(const std::string& banner) {
  for (auto generation : {FirmwareGeneration::V150, FirmwareGeneration::V160, FirmwareGeneration::V161,
                          FirmwareGeneration::V170, FirmwareGeneration::V200, FirmwareGeneration::Other}) {
    if (firmwareBanner(generation) == banner) return generation;
  }
  return std::nullopt;
}

// The memory the text holds, or the reason it holds none.
std::optional<ScannerMemory> parse(const std::string& text, std::string& reason) {
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    reason = "it is not a JSON object";
    return std::nullopt;
  }
  ScannerMemory memory;
  const auto calibration = j.find(kCalibration);
  if (calibration == j.end() || !calibration->is_object()) {
    reason = "it holds no calibration";
    return std::nullopt;
  }
  for (const auto& [key, value] : calibration->items()) {
    if (!value.is_string()) {
      reason = "the calibration value of " + key + " is not text";
      return std::nullopt;
    }
    memory.calibration[key] = value.get<std::string>();
  }
  if (const auto flashed = j.find(kFlashedFirmware); flashed != j.end()) {
    memory.flashed = flashed->is_string() ? generationWithBanner(flashed->get<std::string>()) : std::nullopt;
    if (!memory.flashed) {
      reason = "its flashed firmware is none the scanner knows";
      return std::nullopt;
    }
  }
  return memory;
}

}  // namespace

fs::path scannerMemoryFile(const fs::path& folder) { return folder / "scanner-memory.json"; }

std::optional<ScannerMemory> loadScannerMemory(const fs::path& folder) {
  const fs::path file = scannerMemoryFile(folder);
  std::error_code ec;
  if (!fs::exists(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string reason = "it cannot be read";
  if (in.is_open() && !in.bad()) {
    if (auto memory = parse(text.str(), reason)) return memory;
  }
  const auto aside = keepDamagedFileAside(file);
  QVLogWarn("The simulated scanner's memory %s cannot be read (%s): the scanner starts as it left the factory, "
            "uncalibrated; the file %s",
            file.c_str(), reason.c_str(), aside.outcome().c_str());
  return std::nullopt;
}

bool saveScannerMemory(const fs::path& folder, const ScannerMemory& memory) {
  json j = json::object();
  j[kCalibration] = memory.calibration;
  if (memory.flashed) j[kFlashedFirmware] = firmwareBanner(*memory.flashed);
  std::error_code ec;
  fs::create_directories(folder, ec);
  // Value texts are whatever the host sent: bytes that are not UTF-8 are written replaced.
  const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  if (const int error = replaceTextFile(scannerMemoryFile(folder), text)) {
    QVLogError("The simulated scanner's memory %s cannot be written: %s", scannerMemoryFile(folder).c_str(),
               std::strerror(error));
    return false;
  }
  return true;
}

}  // namespace qv::sim
