// What the simulated scanner keeps across power cycles, as a real one keeps it in its own memory:
// the stored calibration, and the firmware a flash installed. Kept in a file of a state folder so
// that it also outlives the program.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "sim/firmware/FirmwareModel.h"

namespace qv::sim {

struct ScannerMemory {
  std::map<std::string, std::string> calibration;  // key to value text, as stored
  // The firmware the last flash installed; nothing while the scanner runs the one it left the
  // factory with.
  std::optional<FirmwareGeneration> flashed;
};

// The memory's file in `folder`: "scanner-memory.json".
std::filesystem::path scannerMemoryFile(const std::filesystem::path& folder);

// The memory kept in `folder`; nothing when there is none yet. A file that cannot be read as a
// memory is moved aside ("<file>.corrupt-<time>") and the log says so: the scanner then starts as
// it left the factory, uncalibrated, as it would after losing its memory.
std::optional<ScannerMemory> loadScannerMemory(const std::filesystem::path& folder);

// Writes the memory into `folder` (made when missing), replacing the file whole; false when it
// cannot be written (the log says why, and the file is left as it was).
bool saveScannerMemory(const std::filesystem::path& folder, const ScannerMemory& memory);

}  // namespace qv::sim
