// Reads a qvkx project file into a scan object: its clouds with their slices and points, and its
// textures with their images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "formats/QVLFileImporter.h"
#include "formats/QvkxFormat.h"
#include "formats/SSZipArchive.h"
#include "platform/Value.h"

// One cloud file decoded: its header values and its slots.
struct QVLQvkxCloudContents {
  std::string member;
  qv::Dictionary header;               // property names and values, lower-cased, as text
  std::uint64_t cameraHeight = 0;      // slots per slice
  std::uint64_t sliceCount = 0;        // values of "radians"
  std::vector<QVLScanVertex> points;   // the point slots in order (lookup identifier still 0)
  std::vector<std::uint32_t> slots;    // per slot 0 (empty) or 1 + the number of its point, slice after slice
  std::vector<double> rotations;       // the slices' rotations, ascending (the header's "radians" likewise)
  bool cutShort = false;               // the body ended inside a point or before cameraHeight × slices slots
  std::vector<qv::Error> remarks;      // values read otherwise than written (as 0, or without a tail), each at its byte
  std::vector<qv::Error> keptAsWritten;  // points kept as written though no finite numbers, at the first of each kind
  // Calibration and lens values no float can keep (an infinity, a NaN), each left unset and named
  // at its byte, and such rotations, left out with their slices' slots; the cloud keeps the rest.
  std::vector<qv::Error> leftOutValues;
  std::vector<std::string> unsetAttributes;  // the lens values among them, unset once the cloud is made
};

// A member left out of a read, and why (an error naming the project, the member and the offset).
struct QVLQvkxSkippedMember {
  std::string member;
  qv::Error reason;
  bool refused = false;  // the library's file system refused its name, or another member stood in its way
};

// A whole archive decoded, before anything is stored.
struct QVLQvkxProjectContents {
  std::vector<QVLQvkxCloudContents> clouds;
  std::vector<qv::qvkx::DecodedTexture> textures;  // only those whose image the archive holds
  std::vector<QVLQvkxSkippedMember> skipped;      // damaged members left out, and damaged clouds read in part
  // What the read's warning names besides, though it costs the scan nothing it shows: members the
  // reader would not use that could not be unpacked under their names...
  std::vector<QVLQvkxSkippedMember> remarks;
  // ...values read otherwise than written (as 0, or without their tail); nothing is left out for them...
  std::vector<QVLQvkxSkippedMember> valueRemarks;
  // ...and points kept as written though their position or normal is no finite number.
  std::vector<QVLQvkxSkippedMember> keptAsWritten;
  std::filesystem::path folder;                   // where the archive was unpacked
};

// The archive is unpacked into a fresh folder "<UUID>.QvkxImport" in the library folder, removed
// again when the read ends, whatever its outcome. Members are bounded in number and size, and the
// counts a cloud file or a texture description declares by what the writer can make (QvkxFormat.h):
// a project beyond them is refused. Every cloud file and the texture description are decoded in
// full first; the scan object changes only afterwards, in one block on the private-queue context
// that ends with a save (rolled back when it fails).
//
// A damaged member costs only itself: a cloud file that cannot be unpacked, whose header is bad or
// holds no properties is left out, one whose body is cut short keeps the slots before the cut, and
// a damaged texture description keeps its whole records; the rest of the project is read. So does
// a member that cannot be unpacked under its name (too long for the library's file system, or a
// file of another member in its way): it is left out, and a texture whose image it was is missing,
// as though damaged. A failure of the library's folder or disk itself (no room, no permission, a
// read-only or failing disk) fails the read whole with code 120. A cloud value that should be a
// number but holds none is read as 0, as it always was, and named. The read then succeeds with
// the error value still set, naming the first member concerned ("File", "DataOffset",
// "Description", "Member") and, in its text, every one, so that the user learns what is missing.
// A project with no readable cloud file, or whose readable clouds hold no point, is an error
// (code 3) naming every member that cost it its points.
// Errors of the project as a whole carry "File", "DataOffset" and "Description" only.
//
// A stored slice's dataOffset keeps the one meaning it has everywhere in the store: the offset of
// its block in its cloud's slice vertex file. An imported cloud has no such file, so the reader
// leaves it unset; the slice's share of the cloud's index data is slice index × cameraHeight. As
// in every cloud of the store, the blocks of the index data follow the slices' rotations upwards:
// a file that lists its rotations in another order has its slices made in ascending order, each
// with the block listed with its rotation.
class QVLQvkxFileImporter : public QVLFileImporter {
public:
  using QVLFileImporter::QVLFileImporter;

  bool parseFile(qv::Error* error) override;

  // The next header line of a cloud file, lower-cased, without its line feed; nothing, with the
  // error, at the end of the data.
  std::optional<std::string> readLine(const qv::Data& bytes, qv::Error* error);
  // The header dictionary; leaves dataOffset at the first body byte.
  std::optional<qv::Dictionary> readQvkxHeader(const qv::Data& bytes, qv::Error* error);
  // The slots from dataOffset on into the cloud. Slots that are cut short end the cloud there
  // (it is marked cutShort and the error names the place); false only when the body cannot be
  // read at all.
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
  bool readProject(qv::Error* error);
  qv::Error invalidAt(std::uint64_t offset, const char* description, const std::string& detail) const;
  // What the user is told of a cloud file the unzip left out as damaged: which layer is missing,
  // and with how many points when its bytes still tell.
  std::string missingLayerText(const SSZipArchiveSkippedEntry& entry);

  std::string currentLineData_;
  std::string member_;  // the cloud file being read, for the errors
  std::uint64_t dataOffset_ = 0;
  std::uint64_t dataSize_ = 0;
  std::map<std::string, std::uint64_t> valueAt_;  // where each property's value starts, for the errors
};
