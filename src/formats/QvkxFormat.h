// The qvkx project file's members: the cloud file (a text header of calibration values and a grid
// of point slots), the "CloudData.qvtx" texture description and the older binary qvt form. Plain
// functions that make and decode them, with no store and no files.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "formats/FileVersion.h"
#include "platform/Error.h"
#include "platform/Value.h"
#include "store/QVLScanVertex.h"

namespace qv::qvkx {

inline constexpr const char* kSingleCloudMember = "CloudData.qvk";
inline constexpr const char* kTextureDescriptionMember = "CloudData.qvtx";
inline constexpr const char* kThumbnailMember = "thumbnail.png";
inline constexpr const char* kExportFolderExtension = "QvkxExport";
inline constexpr const char* kImportFolderExtension = "QvkxImport";
inline constexpr const char* kUnsupportedDescription = "The QVK file is unsupported";
inline constexpr const char* kInvalidDescription = "The QVK file is invalid";
inline constexpr const char* kArchiveInvalidDescription = "The QVKX file is invalid";
// The "Description" of the warning of a read that left nothing out (its text names what is odd).
inline constexpr const char* kReadWholeDescription = "The QVKX file was read whole";
// The detail key naming the archive member an error concerns ("File" names the project file).
inline constexpr const char* kMemberKey = "Member";

// What a project may hold, bounded by what the writer makes of the largest real scan (a cloud is
// at most 960 rows by 2880 steps of 1/8 degree, 75 MB when every slot holds a point; a pass makes
// two clouds and six photographs), with room to spare in the number of steps. A file beyond them
// was not written by us and is refused before it can fill the memory or the disk. The rows of a
// slice are the camera's rows: the writer refuses a cloud with more, so the reader does too.
inline constexpr std::uint64_t kMaximumMemberBytes = 128ull << 20;   // unpacked bytes of one member
inline constexpr std::uint64_t kMaximumProjectBytes = 512ull << 20;  // unpacked bytes of all members
inline constexpr std::uint64_t kMaximumMembers = 4096;
inline constexpr std::uint64_t kMaximumClouds = 256;
inline constexpr std::uint64_t kMaximumRotationsPerCloud = 23040;  // steps of 1/64 degree
inline constexpr std::uint64_t kMaximumSlices = 100000;           // all clouds together
inline constexpr std::uint64_t kMaximumRowsPerSlice = 960;        // the camera's rows
inline constexpr std::uint64_t kMaximumTextures = 1024;
inline constexpr std::uint64_t kMaximumHeaderLineBytes = 1u << 20;  // 23040 rotations take about 300 KB

// The places of a "radians" value, split at single spaces as the store splits it into slices: each
// a rotation, a number no slice can keep (an infinity, a NaN, one beyond a float's range), or
// empty (two blanks in a row). Each place owns a block of the cloud's slots, in list order, unless
// the empty places are stray blanks (the body and the cloud width then count only the others).
struct RotationPlace {
  enum Kind { Rotation, Unkept, Empty };
  Kind kind = Rotation;
  std::size_t at = 0;  // where it starts in the value
  std::string part;
  double value = 0;
};
// The places of the value (an empty value has none); nothing, with the place's position in
// `badAt`, when a part holds no number at all. The list stops after kMaximumRotationsPerCloud + 1
// places.
std::optional<std::vector<RotationPlace>> rotationPlacesOf(const std::string& text, std::size_t* badAt = nullptr);
// Whether a value kept as a float (a slice's rotation, a lens value, a calibration value) is kept as
// it is written and read back: a finite number within a float's range (a larger one would become
// an infinity, which the project file cannot carry back).
bool isFloatStorable(double value);
// The numbers of a cloud header value that the cloud keeps from it but no float can keep, read
// as the cloud reads them (the number each text begins with): an infinity or a NaN however
// written ("inf", "-NaN", "1e999") or a number beyond a float's range. The values checked are the
// calibration's (origins, normals, bed, lead screw, camera, capture height: the whole value) and
// the lens values (all four "intrinsic" values, or fx, cx, fy, cy of a 3 × 3 matrix; the first
// four "distortion" values). Each with where it starts in the value, its text, and for a lens
// value the cloud attribute it sets ("intrinsicFX", "distortion2"; empty for a whole value). None
// for good values or another key.
struct UnstorablePart {
  std::size_t at = 0;
  std::string part;
  std::string attribute;
};
std::vector<UnstorablePart> unstorableHeaderParts(const std::string& key, const std::string& text);
// A number of a cloud header value that a cloud reads otherwise than written: one with no number
// in it at all ("abc", "-", "x1", nothing), read as 0, or one whose number has a tail ("1.5abc",
// read as 1.5). `at` is where it starts in the value, `part` its text and `number` the text of the
// number read (empty for none).
struct HeaderValueRemark {
  std::size_t at = 0;
  std::string part;
  std::string number;
};
// Those of a value's numbers: the same values as above, and the whole numbers "ID", "laser" and
// "cameraWidth", in the order of the value; none for another key.
std::vector<HeaderValueRemark> headerValueRemarks(const std::string& key, const std::string& text);
// The positions of listed rotations in the order a cloud's slices take them: ascending (as the
// store orders a cloud's slices and the blocks of its index data), equal ones in list order.
// Empty when the list is in that order already.
std::vector<std::size_t> ascendingRotationOrder(const std::vector<double>& rotations);

inline constexpr std::size_t kPointSlotBytes = 27;
inline constexpr std::size_t kEmptySlotBytes = 4;
inline constexpr std::uint8_t kEmptySlot[kEmptySlotBytes] = {0x00, 0x00, 0xC0, 0x7F};  // the float quiet NaN
inline constexpr int kCloudHeightLine = 960;
inline constexpr std::size_t kQvtFixedBytes = 37;

// "CloudData.qvk" when the scan has one cloud, else "CloudData_<lookupId>_<referenceId>_<laser>.qvk".
std::string cloudMemberName(std::size_t cloudsInScan, std::int64_t lookupId, std::int64_t referenceId, std::int64_t laserNumber);

// The values a cloud file's header carries, read from the stored cloud. A value the cloud does not
// hold has no line (and, among the four "intrinsic" or "distortion" values, is "nan"), which the
// reader reads as unset again.
struct CloudHeaderSource {
  using Number = std::optional<double>;
  Number cameraOrigin[3];
  Number laserOrigin[3];
  Number laserNormal[3];
  Number captureHeight;
  std::optional<std::int64_t> referenceId;
  std::optional<std::int64_t> laserNumber;
  std::uint64_t sliceCount = 0;
  std::optional<std::int64_t> cameraWidth;
  std::int64_t cameraHeight = 0;  // the rows a slice: always written
  Number bed[3];
  Number bedNormal[3];
  Number leadScrewNormal[3];
  Number cameraNormal[3];
  Number cameraUp[3];
  Number intrinsic[4];  // fx, fy, cx, cy
  Number distortion[4];
  std::vector<double> rotations;  // the slices' rotations, ascending
};
// The 40 header lines at most (fewer for values not held), each ended by a line feed, in the C locale.
std::string cloudHeaderText(const CloudHeaderSource& cloud, const FileVersion& version);
// The cloud's calibration values that a header carries one to a line, by their names there, in
// header order (the first ten before the "ID" line, the others after "cameraHeight").
using CalibrationValues = std::array<std::pair<const char*, std::optional<double>>, 25>;
CalibrationValues calibrationValues(const CloudHeaderSource& cloud);

// The low 8 bits of roundf(component × 255) taken in single precision (halves away from zero, no
// clamping); 0 for a value that is not a number or beyond any integer.
std::uint8_t roundedColourByte(float component);

// What encoding a cloud body met, for the writer's warnings.
struct CloudBodyReport {
  std::uint64_t expectedEntries = 0;  // cameraHeight × slices
  std::uint64_t indexEntries = 0;
  std::uint64_t paddedSlots = 0;  // slots the index data did not reach
  std::uint64_t points = 0;       // point slots written
  std::uint64_t bytes = 0;        // the grid's size, also when it was too large to make
};
// The slot grid of one cloud: cameraHeight slots for each slice, the slot of index entry e a
// point when 0 < e < N and vertex e is off the origin with an x that is a number, else empty (a
// point whose x is not a number would read back as an empty slot and shift every later one).
// Index data that ends before the grid does is padded with empty slots, so every slice keeps its
// full height and its rotation; with the rows a slice and the slices bounded by what a reader
// takes, the padding is bounded too. Empty when there are no slots, or when the grid would take
// more than maximumBytes (its size is then in the report).
Data cloudBody(std::span<const std::uint8_t> vertexData, std::span<const std::uint8_t> indexData, std::uint64_t cameraHeight,
               std::uint64_t sliceCount, CloudBodyReport* report = nullptr, std::uint64_t maximumBytes = UINT64_MAX);

// One texture of the description, as written. A value the texture does not hold has no element
// (or, among the four lens values of one element, is "nan"), which the reader leaves unset.
struct TextureValues {
  using Number = std::optional<double>;
  Number cameraPosition[3];
  Number cameraNormal[3];
  Number cameraOrigin[3];
  Number cameraUp[3];
  Number intrinsic[4];
  Number distortion[4];
  std::string fileName;
};
// The "CloudData.qvtx" XML document, pretty-printed, UTF-8, standalone.
std::string textureDescriptionDocument(const std::vector<TextureValues>& textures, const std::string& clientVersion);
// What of a texture the description cannot carry back: a value held that is not a finite number
// (read as no value), named by its element and, for a lens value, its place ("an intrinsic value
// 2 that is not a finite number"); nothing when it can.
std::optional<std::string> textureValueProblem(const TextureValues& texture);

// A texture as a description gives it: its image's name in the archive and the stored texture
// attributes it sets (only those the description holds).
struct DecodedTexture {
  std::string fileName;
  std::vector<std::pair<std::string, double>> attributes;
};
// Where errors say they are: the project file and the member.
struct MemberPlace {
  std::string projectPath;
  std::string member;
};
Error memberError(const MemberPlace& place, std::uint64_t offset, const std::string& description, const std::string& detail);

// The binary qvt records. A record needs its 37 bytes and its whole name: fewer is an error
// naming the offset, the textures of the whole records before it kept in `textures`. A record
// whose name is empty is skipped with a warning. Both decoders stop once they hold more than
// kMaximumTextures textures.
bool decodeQvt(std::span<const std::uint8_t> bytes, const MemberPlace& place, std::vector<DecodedTexture>& textures,
               Error* error, const std::function<void(float)>& progress = {});
// The XML description: a document that does not parse is an error naming the offset, the
// textures it closed before the damage kept in `textures`. A value that is not a finite number
// is left unset with a warning.
bool decodeQvtx(std::span<const std::uint8_t> bytes, const MemberPlace& place, std::vector<DecodedTexture>& textures,
                Error* error);

// A name that stays inside the folder it is looked up in: no separators, not "." or "..".
bool isPlainFileName(const std::string& name);

// Removes the intermediate folder a read or a save works in when it ends, however it ends.
struct FolderRemoval {
  std::filesystem::path folder;
  explicit FolderRemoval(std::filesystem::path path) : folder(std::move(path)) {}
  FolderRemoval(const FolderRemoval&) = delete;
  FolderRemoval& operator=(const FolderRemoval&) = delete;
  ~FolderRemoval();
};

}  // namespace qv::qvkx
