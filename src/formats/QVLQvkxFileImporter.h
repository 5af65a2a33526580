// Reads a qvkx project file into a scan object: its clouds with their slices and points, and its
// textures with their images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "formats/QVLFileImporter.h"
#include "formats/QvkxFormat.h"
#include "platform/Value.h"

// One cloud file decoded: its header values and its slots.
struct QVLQvkxCloudContents {
  std::string member;
  qv::Dictionary header;               // property names and values, lower-cased, as text
  std::uint64_t cameraHeight = 0;      // slots per slice
  std::uint64_t sliceCount = 0;        // values of "radians"
  std::vector<QVLScanVertex> points;   // the point slots in order (lookup identifier still 0)
  std::vector<std::uint32_t> slots;    // per slot 0 (empty) or 1 + the number of its point
};

// A whole archive decoded, before anything is stored.
struct QVLQvkxProjectContents {
  std::vector<QVLQvkxCloudContents> clouds;
  std::vector<qv::qvkx::DecodedTexture> textures;  // only those whose image the archive holds
  std::filesystem::path folder;                   // where the archive was unpacked
};

// The archive is unpacked into a fresh folder "<UUID>.QvkxImport" in the library folder (left
// there; the application removes such folders at its next start). Every cloud file and the
// texture description are decoded in full first; the scan object changes only when all of it was
// good, in one block on the private-queue context that ends with a save (rolled back when it
// fails). An archive that cannot be unpacked or holds no cloud file, a cloud file whose header or
// slots are bad or cut short, and a bad texture description are errors (code 3) naming the
// project file, the member and the byte offset ("File", "Member", "DataOffset").
//
// A stored slice's dataOffset keeps the one meaning it has everywhere in the store: the offset of
// its block in its cloud's slice vertex file. An imported cloud has no such file, so the reader
// leaves it unset; the slice's share of the cloud's index data is slice index × cameraHeight.
class QVLQvkxFileImporter : public QVLFileImporter {
public:
  using QVLFileImporter::QVLFileImporter;

  bool parseFile(qv::Error* error) override;

  // The next header line of a cloud file, lower-cased, without its line feed; nothing, with the
  // error, at the end of the data.
  std::optional<std::string> readLine(const qv::Data& bytes, qv::Error* error);
  // The header dictionary; leaves dataOffset at the first body byte.
  std::optional<qv::Dictionary> readQvkxHeader(const qv::Data& bytes, qv::Error* error);
  // The slots from dataOffset on into the cloud; false (and the error) when they are cut short.
  bool readQvkxVertices(const qv::Data& bytes, QVLQvkxCloudContents& cloud, qv::Error* error);
  // Header and slots of one cloud file.
  bool decodeCloudFile(const qv::Data& bytes, const std::string& member, QVLQvkxCloudContents& cloud, qv::Error* error);
  // Every member of an unpacked archive.
  bool decodeFolder(const std::filesystem::path& folder, QVLQvkxProjectContents& contents, qv::Error* error);
  // Puts decoded contents into the scan object and saves; on failure nothing is left changed.
  bool storeContents(const QVLQvkxProjectContents& contents, qv::Error* error);

  std::uint64_t dataOffset() const { return dataOffset_; }
  std::uint64_t dataSize() const { return dataSize_; }
  const std::string& currentLineData() const { return currentLineData_; }

private:
  qv::Error invalidAt(std::uint64_t offset, const char* description, const std::string& detail) const;

  std::string currentLineData_;
  std::string member_;  // the cloud file being read, for the errors
  std::uint64_t dataOffset_ = 0;
  std::uint64_t dataSize_ = 0;
};
