// The qvkx reader: unpack, decode every member, then store the scan in one block.
#include "formats/QVLQvkxFileImporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <map>
#include <cmath>
#include <set>
#include <cstring>
#include <limits>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/AtomicFile.h"
#include "formats/internal/NumberText.h"
#include "formats/internal/ReaderSupport.h"
#include "formats/internal/StoreUndo.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "store/VertexRecords.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kProgressEvery = 4096;

std::string extensionOf(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : qv::asciiLowerCased(name.substr(dot + 1));
}

// Names in the order a person would list them: ignoring case first, then by bytes.
bool listedBefore(const std::string& a, const std::string& b) {
  const std::string la = qv::asciiLowerCased(a), lb = qv::asciiLowerCased(b);
  return la != lb ? la < lb : a < b;
}

bool isRegularFile(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() == fs::file_type::regular;
}

// Members that cost a read something, as one error value: the first one's place in the details,
// every one in the text after the lead (a single member's error stands as it is when there is no lead).
qv::Error membersError(const std::vector<QVLQvkxSkippedMember>& members, const std::string& lead = {}) {
  qv::Error e = members.front().reason;
  if (members.size() == 1 && lead.empty()) return e;
  std::set<std::string> names;
  for (const auto& m : members) names.insert(m.member);
  std::string text = lead.empty() ? "The project was read, but " + std::to_string(names.size()) +
                                        (names.size() == 1 ? " of its members was" : " of its members were") + " not read as saved"
                                  : lead;
  text += ":";
  for (std::size_t i = 0; i < members.size(); ++i) text += (i == 0 ? " " : "; ") + members[i].reason.description;
  e.description = std::move(text);
  return e;
}

// Which layer of the scan a cloud file holds, by its name: the writer names each cloud file by its
// cloud's lookup identifier, reference identifier and laser, and the file of a scan's only cloud
// "CloudData.qvk".
std::string layerOfMember(const std::string& name) {
  if (qv::asciiLowerCased(name) == "clouddata.qvk") return "the scan's only layer";
  std::uint64_t fields[3] = {0, 0, 0};
  std::size_t at = std::string("CloudData_").size();
  bool named = name.size() > at + 4 && qv::asciiLowerCased(name.substr(0, at)) == "clouddata_";
  for (int i = 0; named && i < 3; ++i) {
    const auto [end, ec] = std::from_chars(name.data() + at, name.data() + name.size(), fields[i]);
    named = ec == std::errc() && end != name.data() + at && *end == (i < 2 ? '_' : '.');
    at = static_cast<std::size_t>(end - name.data()) + 1;
  }
  named = named && qv::asciiLowerCased(name.substr(at - 1)) == ".qvk";
  if (!named) return "the layer of the cloud file " + name;
  return qv::format("the layer of cloud %llu (reference %llu, laser %llu)", static_cast<unsigned long long>(fields[0]),
                    static_cast<unsigned long long>(fields[1]), static_cast<unsigned long long>(fields[2]));
}

// The warning of a read that succeeded: the members left out or read in part (`lost`), then the
// values read otherwise than written and the points kept as written though they are no finite
// numbers. With no member lost it says that the project was read whole.
qv::Error readWarning(const std::vector<QVLQvkxSkippedMember>& lost, const std::vector<QVLQvkxSkippedMember>& values,
                      const std::vector<QVLQvkxSkippedMember>& kept) {
  auto listed = [](const std::vector<QVLQvkxSkippedMember>& members) {
    std::string text;
    for (std::size_t i = 0; i < members.size(); ++i) text += (i == 0 ? "" : "; ") + members[i].reason.description;
    return text;
  };
  std::string odd;
  if (!values.empty())
    odd = (values.size() == 1 ? std::string("one value was") : std::to_string(values.size()) + " values were") +
          " read otherwise than written: " + listed(values);
  if (!kept.empty()) odd += (odd.empty() ? "" : ". Besides, ") + listed(kept);
  if (lost.empty()) {
    qv::Error e = (values.empty() ? kept : values).front().reason;
    e.userInfo[qv::kDescriptionKey] = qv::qvkx::kReadWholeDescription;
    e.description = "The project was read whole and nothing was left out" + std::string(values.empty() ? ": " : ", but ") + odd;
    return e;
  }
  qv::Error e = membersError(lost);
  if (!odd.empty()) e.description += ". Besides, " + odd;
  return e;
}

// The slots of a cloud body from `offset` to the end of its data, and how many of them are points:
// a slot whose first float is a NaN is an empty one of 4 bytes, any other a point of 27 (one the
// data ends inside counts as a slot, not a point).
struct SlotCount {
  std::uint64_t slots = 0, points = 0;
};
SlotCount slotsFrom(const qv::Data& bytes, std::uint64_t offset) {
  SlotCount count;
  while (bytes.size() - offset >= qv::qvkx::kEmptySlotBytes) {
    ++count.slots;
    if (std::isnan(qv::qvk::readScalar<float>(bytes.data() + offset))) {
      offset += qv::qvkx::kEmptySlotBytes;
    } else if (bytes.size() - offset < qv::qvkx::kPointSlotBytes) {
      break;
    } else {
      ++count.points;
      offset += qv::qvkx::kPointSlotBytes;
    }
  }
  return count;
}

// A header value that is a whole number and nothing else, or nothing.
std::optional<std::uint64_t> wholeNumberOf(const qv::Dictionary& header, const std::string& key) {
  const auto* value = qv::find(header, key);
  if (!value || !value->string() || value->string()->empty()) return std::nullopt;
  const std::string& text = *value->string();
  std::uint64_t number = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// The store pairs a cloud's slices with the blocks of its index data in ascending rotation order,
// as it builds the data of a scan. A file may list its rotations in another order, each with the
// block at its place in the list: the slices are then made in ascending order, each block moving
// with its rotation (equal rotations keep their listed order), and a grid cut short is padded to
// its full size so that no block moves into another's place.
void putSlicesInRotationOrder(QVLQvkxCloudContents& cloud) {
  const auto order = qv::qvkx::ascendingRotationOrder(cloud.rotations);
  if (order.empty()) return;
  std::vector<double> rotations(order.size());
  std::string text;
  for (std::size_t j = 0; j < order.size(); ++j) {
    rotations[j] = cloud.rotations[order[j]];
    if (j > 0) text += ' ';
    qv::text::appendShortest(text, rotations[j]);  // reads back as the same number
  }
  cloud.rotations = std::move(rotations);
  cloud.header["radians"] = qv::Value(std::move(text));
  const std::uint64_t rows = cloud.cameraHeight;
  if (rows == 0) return;
  std::vector<std::uint32_t> slots(rows * order.size(), 0);
  for (std::size_t j = 0; j < order.size(); ++j) {
    const std::uint64_t from = order[j] * rows;
    if (from >= cloud.slots.size()) continue;
    const std::uint64_t n = std::min<std::uint64_t>(rows, cloud.slots.size() - from);
    std::copy_n(cloud.slots.begin() + static_cast<std::ptrdiff_t>(from), n, slots.begin() + static_cast<std::ptrdiff_t>(j * rows));
  }
  cloud.slots = std::move(slots);
}

// Takes the slices at the places of the rotation list marked `out` out of the cloud, each with its
// block of slots (the slots follow the rotations, one block of cameraHeight slots each, in list
// order); the other slices keep their blocks and their points in order. Returns the point slots
// taken out.
std::uint64_t leaveOutSlices(QVLQvkxCloudContents& cloud, const std::vector<bool>& out) {
  std::vector<double> rotations;
  std::string text;
  for (std::size_t i = 0; i < cloud.rotations.size(); ++i) {
    if (out[i]) continue;
    if (!rotations.empty()) text += ' ';
    qv::text::appendShortest(text, cloud.rotations[i]);  // reads back as the same number
    rotations.push_back(cloud.rotations[i]);
  }
  std::vector<std::uint32_t> slots;
  std::vector<QVLScanVertex> points;
  std::uint64_t lost = 0;
  for (std::size_t k = 0; k < cloud.slots.size(); ++k) {
    const std::uint32_t slot = cloud.slots[k];
    if (out[k / cloud.cameraHeight]) {  // a grid with slots has rows
      lost += slot != 0;
    } else if (slot == 0) {
      slots.push_back(0);
    } else {
      points.push_back(cloud.points[slot - 1]);
      slots.push_back(static_cast<std::uint32_t>(points.size()));
    }
  }
  cloud.rotations = std::move(rotations);
  cloud.sliceCount = cloud.rotations.size();
  cloud.header["radians"] = qv::Value(std::move(text));
  cloud.slots = std::move(slots);
  cloud.points = std::move(points);
  return lost;
}

}  // namespace

qv::Error QVLQvkxFileImporter::invalidAt(std::uint64_t offset, const char* description, const std::string& detail) const {
  return qv::qvkx::memberError({localFilePath(), member_}, offset, description, detail);
}

// ---------------------------------------------------------------------------------------------
// Cloud files

std::optional<std::string> QVLQvkxFileImporter::readLine(const qv::Data& bytes, qv::Error* error) {
  if (!qv::takeLine(bytes, dataOffset_, currentLineData_)) {
    if (error) *error = invalidAt(dataOffset_, qv::qvkx::kInvalidDescription, "the header ends before \"end_header\"");
    return std::nullopt;
  }
  setPercentLoaded(static_cast<float>(dataOffset_) / static_cast<float>(dataSize_));
  return qv::asciiLowerCased(currentLineData_);
}

std::optional<qv::Dictionary> QVLQvkxFileImporter::readQvkxHeader(const qv::Data& bytes, qv::Error* error) {
  dataSize_ = bytes.size();
  dataOffset_ = 0;
  valueAt_.clear();
  qv::Dictionary header;
  auto line = readLine(bytes, error);
  if (!line) {
    QVLogError("readQvkHeader failed (line == nil)");
    return std::nullopt;
  }
  // Every cloud file starts with its magic line, whatever its length.
  if (*line != "qvk") {
    QVLogError("readQvkHeader failed (first line is not \"qvk\")");
    if (error) *error = invalidAt(0, qv::qvkx::kInvalidDescription, "the first line is not \"qvk\"");
    return std::nullopt;
  }
  for (;;) {
    const std::uint64_t lineStart = dataOffset_;
    line = readLine(bytes, error);
    if (!line) {
      QVLogError("readQvkHeader failed (line == nil)");
      return std::nullopt;
    }
    if (line->size() > qv::qvkx::kMaximumHeaderLineBytes) {
      // No value the writer makes is this long; splitting it would only fill the memory.
      if (error) *error = invalidAt(lineStart, qv::qvkx::kInvalidDescription, "a header line is longer than any the writer makes");
      return std::nullopt;
    }
    if (*line == "end_header") {
      QVLogInfo("Finished reading QVK header");
      return header;
    }
    if (line->starts_with("format")) {
      if (!line->starts_with("format binary_little_endian 2.")) {
        QVLogError("readQvkHeader failed (format is different from \"binary_little_endian 2.\")");
        if (error) *error = invalidAt(lineStart, qv::qvkx::kUnsupportedDescription, "the format is not binary_little_endian 2.x");
        return std::nullopt;
      }
      continue;
    }
    if (line->starts_with("comment")) continue;
    if (line->starts_with("property")) {
      const auto parts = qv::splitAtEachSpace(*line);
      if (parts.size() < 3) {
        QVLogInfo("QVK format error: \"%s\"", line->c_str());
        continue;
      }
      std::string value = parts[2];
      for (std::size_t i = 3; i < parts.size(); ++i) value += " " + parts[i];
      valueAt_[parts[1]] = lineStart + parts[0].size() + 1 + parts[1].size() + 1;
      header[parts[1]] = qv::Value(std::move(value));
      continue;
    }
    QVLogInfo("Unhandled QVK header: %s", line->c_str());
  }
}

bool QVLQvkxFileImporter::readQvkxVertices(const qv::Data& bytes, QVLQvkxCloudContents& cloud, qv::Error* error) {
  const std::uint64_t height = cloud.cameraHeight, slices = cloud.sliceCount;
  if (height > qv::qvkx::kMaximumRowsPerSlice || slices > qv::qvkx::kMaximumRotationsPerCloud) {
    if (error) *error = invalidAt(dataOffset_, qv::qvkx::kInvalidDescription, "the cloud declares more slots than a scan has");
    return false;
  }
  const std::uint64_t expected = height * slices;
  cloud.points.clear();
  cloud.slots.clear();
  cloud.cutShort = false;
  std::uint64_t offset = dataOffset_;
  std::optional<std::uint64_t> truncatedAt;  // the first point slot the data ends in
  // Points whose position or normal holds an infinity or a NaN (a NaN x is an empty slot): kept
  // as written, as a scan file's are, and named once for the member, at the first.
  qv::qvk::NonFinitePoints nonFinite;
  // A slot that is cut short counts as empty and the cloud ends there: what came before it is
  // intact and kept.
  while (cloud.slots.size() < expected && dataSize_ - offset >= qv::qvkx::kEmptySlotBytes) {
    if (cloud.slots.size() % kProgressEvery == 0) setPercentLoaded(static_cast<float>(offset) / static_cast<float>(dataSize_));
    const std::uint64_t left = dataSize_ - offset;
    const std::uint8_t* slot = bytes.data() + offset;
    if (std::isnan(qv::qvk::readScalar<float>(slot))) {
      cloud.slots.push_back(0);
      offset += qv::qvkx::kEmptySlotBytes;
      continue;
    }
    if (left < qv::qvkx::kPointSlotBytes) {
      QVLogWarn("Truncated vertext data");
      // The data ends inside this point: it counts as an empty slot, and nothing after it is whole.
      truncatedAt = offset;
      cloud.slots.push_back(0);
      offset += qv::qvkx::kEmptySlotBytes;
      break;
    }
    QVLScanVertex v;
    float fields[6];
    std::memcpy(fields, slot, sizeof fields);
    v.point2DY = static_cast<std::uint16_t>(cloud.slots.size() % height);  // the slot's row within its slice
    v.point3DX = fields[0], v.point3DY = fields[1], v.point3DZ = fields[2];
    v.normalX = fields[3], v.normalY = fields[4], v.normalZ = fields[5];
    v.colourRed = static_cast<float>(slot[24] / 255.0);
    v.colourGreen = static_cast<float>(slot[25] / 255.0);
    v.colourBlue = static_cast<float>(slot[26] / 255.0);
    nonFinite.check(fields, cloud.slots.size(), offset);
    cloud.points.push_back(v);
    cloud.slots.push_back(static_cast<std::uint32_t>(cloud.points.size()));
    offset += qv::qvkx::kPointSlotBytes;
  }
  if (truncatedAt || cloud.slots.size() < expected) {
    cloud.cutShort = true;
    if (error) {
      *error = truncatedAt ? invalidAt(*truncatedAt, qv::qvkx::kInvalidDescription, "a point slot is cut short")
                           : invalidAt(offset, qv::qvkx::kInvalidDescription,
                                       "the slots end after " + std::to_string(cloud.slots.size()) + " of " + std::to_string(expected));
    }
  }
  cloud.keptAsWritten.clear();
  for (const auto& note : nonFinite.notes("point slot", expected)) {
    qv::Error kept = invalidAt(note.offset, qv::qvkx::kInvalidDescription, note.text);
    kept.description = cloud.member + ": " + note.text + " at byte " + std::to_string(note.offset);
    cloud.keptAsWritten.push_back(std::move(kept));
  }
  dataOffset_ = offset;
  setPercentLoaded(1.0f);
  QVLogInfo("Points in cloud:%lu (out of %lu) expected:%lu", static_cast<unsigned long>(cloud.points.size()),
            static_cast<unsigned long>(cloud.slots.size()), static_cast<unsigned long>(expected));
  QVLogInfo("Finished reading QVKX vertex data");
  return true;
}

bool QVLQvkxFileImporter::decodeCloudFile(const qv::Data& bytes, const std::string& member, QVLQvkxCloudContents& cloud,
                                          qv::Error* error) {
  member_ = member;
  cloud.member = member;
  auto header = readQvkxHeader(bytes, error);
  if (!header) return false;
  const std::uint64_t bodyStart = dataOffset_;
  // Without its calibration a cloud's points cannot be placed: such a file is no cloud of a scan.
  if (header->empty()) {
    if (error) *error = invalidAt(0, qv::qvkx::kInvalidDescription, "the cloud file's header holds no properties");
    return false;
  }
  cloud.header = std::move(*header);
  cloud.cameraHeight = 0;
  cloud.sliceCount = 0;
  cloud.rotations.clear();
  // Checked here as the store will read them when it makes the cloud, so the grid matches.
  if (const auto* h = qv::find(cloud.header, "cameraheight")) {
    const std::string text = h->string() ? *h->string() : std::string();
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > qv::qvkx::kMaximumRowsPerSlice) {
      if (error) *error = invalidAt(valueAt_["cameraheight"], qv::qvkx::kInvalidDescription, "the camera height \"" + text.substr(0, 32) +
                                                  "\" is not a whole number from 0 to " + std::to_string(qv::qvkx::kMaximumRowsPerSlice));
      return false;
    }
    cloud.cameraHeight = value;
  }
  // The calibration and lens values are kept as floats: an infinity, a NaN or a number beyond a
  // float's range is no value a cloud can keep. Only that value is left unset (a whole value
  // dropped from the header, a lens value unset once the cloud is made) and named at its byte, as
  // a scan file's are; the cloud keeps its other values and its points.
  cloud.leftOutValues.clear();
  cloud.unsetAttributes.clear();
  // A NaN is how the writer holds a lens value the cloud does not have among the four of its line:
  // it leaves the value unset and is not named, as a scan file's NaN is not.
  std::vector<std::pair<std::uint64_t, std::string>> unstorable;
  std::vector<std::uint64_t> unsetAt;
  std::vector<std::string> dropped;
  for (const auto& [key, value] : cloud.header) {
    if (!value.string()) continue;
    for (const auto& bad : qv::qvkx::unstorableHeaderParts(key, *value.string())) {
      unsetAt.push_back(valueAt_[key] + bad.at);
      if (const auto number = qv::text::parseDouble(bad.part); !number || !std::isnan(*number))
        unstorable.emplace_back(unsetAt.back(), "a value of \"" + key + "\", \"" + qv::printable(bad.part) +
                                                    "\", is no finite number within a float's range and is left unset");
      if (bad.attribute.empty()) dropped.push_back(key);
      else cloud.unsetAttributes.push_back(bad.attribute);
    }
  }
  for (const auto& key : dropped) cloud.header.erase(key);
  std::sort(unstorable.begin(), unstorable.end());
  for (const auto& [at, detail] : unstorable) {
    QVLogWarn("Read the cloud file %s without a value at byte %llu: %s", member.c_str(), static_cast<unsigned long long>(at),
              detail.c_str());
    cloud.leftOutValues.push_back(invalidAt(at, qv::qvkx::kInvalidDescription, detail));
  }
  // A value with no number in it at all has always been read as 0, and one whose number has a
  // tail as that number, and files may hold either (the cloud's whole numbers, its calibration and
  // lens values): they are still read so, and named, in the order of the file.
  cloud.remarks.clear();
  std::vector<std::pair<std::uint64_t, std::string>> remarks;
  for (const auto& [key, value] : cloud.header) {
    if (!value.string()) continue;
    for (const auto& r : qv::qvkx::headerValueRemarks(key, *value.string())) {
      // A value left unset above is not also named as read as 0.
      const std::uint64_t at = valueAt_[key] + r.at;
      if (std::find(unsetAt.begin(), unsetAt.end(), at) != unsetAt.end()) continue;
      const std::string quoted = "a value of \"" + key + "\", \"" + qv::printable(r.part) + "\", ";
      remarks.emplace_back(at, quoted + (r.number.empty() ? "holds no number and is read as 0"
                                                                               : "is read as " + r.number + ", its tail \"" +
                                                                                     qv::printable(r.part.substr(r.number.size())) +
                                                                                     "\" dropped"));
    }
  }
  std::sort(remarks.begin(), remarks.end());
  for (const auto& [at, detail] : remarks) {
    qv::Error remark = invalidAt(at, qv::qvkx::kInvalidDescription, detail);
    remark.description = member + ": " + detail + " at byte " + std::to_string(at);
    cloud.remarks.push_back(std::move(remark));
  }
  // Each place of the rotation list owns a block of cameraHeight slots, in list order. A place that
  // is no number a slice can keep (an infinity, a NaN, one beyond a float's range) or an empty one
  // (two blanks in a row) has no rotation to read its block at: that slice and its points are left
  // out and named, and no other rotation is paired with them. Empty places are stray blanks instead
  // when the body's blocks, or the cloud width, count only the other places.
  std::vector<qv::qvkx::RotationPlace> places;
  const qv::Value* radians = qv::find(cloud.header, "radians");
  const bool listed = radians && radians->string();
  const std::uint64_t listAt = listed ? valueAt_["radians"] : bodyStart;
  if (listed) {
    std::size_t badAt = 0;
    auto parsed = qv::qvkx::rotationPlacesOf(*radians->string(), &badAt);
    if (!parsed) {
      if (error) *error = invalidAt(listAt + badAt, qv::qvkx::kInvalidDescription,
                                    "a rotation is not a number a slice can keep (finite, within a float's range)");
      return false;
    }
    if (parsed->size() > qv::qvkx::kMaximumRotationsPerCloud) {
      if (error) *error = invalidAt(bodyStart, qv::qvkx::kInvalidDescription,
                                    "the cloud lists " + std::to_string(parsed->size()) + " rotations, more than the " +
                                        std::to_string(qv::qvkx::kMaximumRotationsPerCloud) + " a scan can have");
      return false;
    }
    places = std::move(*parsed);
  }
  const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  auto remark = [&](std::uint64_t at, const std::string& detail) {
    qv::Error r = invalidAt(at, qv::qvkx::kInvalidDescription, detail);
    r.description = member + ": " + detail + " at byte " + std::to_string(at);
    cloud.remarks.push_back(std::move(r));
  };
  const auto isEmpty = [](const qv::qvkx::RotationPlace& p) { return p.kind == qv::qvkx::RotationPlace::Empty; };
  const std::optional<std::uint64_t> width = wholeNumberOf(cloud.header, "cloudwidth");
  if (const auto empties = static_cast<std::uint64_t>(std::count_if(places.begin(), places.end(), isEmpty)); empties > 0) {
    const std::uint64_t values = places.size() - empties;
    const std::uint64_t slots = slotsFrom(bytes, bodyStart).slots;
    const std::uint64_t blocks = cloud.cameraHeight > 0 ? (slots + cloud.cameraHeight - 1) / cloud.cameraHeight : 0;
    if (blocks != places.size() && (blocks == values || width == values)) {
      remark(listAt + std::find_if(places.begin(), places.end(), isEmpty)->at,
             qv::format("the rotations hold %llu empty place%s (two blanks in a row), read as no rotation: the body's blocks of slots "
                        "and the cloud width count %llu rotations", u(empties), empties == 1 ? "" : "s", u(values)));
      places.erase(std::remove_if(places.begin(), places.end(), isEmpty), places.end());
    }
  }
  if (width && *width != places.size())
    remark(valueAt_["cloudwidth"], qv::format("the cloud width, %llu, is not the %llu places of the rotation list, which are read "
                                              "with the body's blocks", u(*width), u(places.size())));
  for (const auto& place : places) cloud.rotations.push_back(place.kind == qv::qvkx::RotationPlace::Rotation ? place.value : 0.0);
  cloud.sliceCount = cloud.rotations.size();
  if (!readQvkxVertices(bytes, cloud, error)) return false;

  // What is left out, each at its byte: the slices of places without a rotation, and the slots the
  // body holds past the blocks of the listed rotations, which no rotation owns.
  std::vector<std::pair<std::uint64_t, std::string>> notes;
  std::uint64_t lostPoints = 0;
  std::vector<bool> out(places.size(), false);
  for (const auto kind : {qv::qvkx::RotationPlace::Unkept, qv::qvkx::RotationPlace::Empty}) {
    std::vector<std::size_t> at;
    std::uint64_t points = 0;
    for (std::size_t i = 0; i < places.size(); ++i) {
      if (places[i].kind != kind) continue;
      at.push_back(i);
      out[i] = true;
      const std::uint64_t from = std::min<std::uint64_t>(i * cloud.cameraHeight, cloud.slots.size());
      const std::uint64_t to = std::min<std::uint64_t>(from + cloud.cameraHeight, cloud.slots.size());
      points += static_cast<std::uint64_t>(std::count_if(cloud.slots.begin() + static_cast<std::ptrdiff_t>(from),
                                                         cloud.slots.begin() + static_cast<std::ptrdiff_t>(to),
                                                         [](std::uint32_t slot) { return slot != 0; }));
    }
    if (at.empty()) continue;
    lostPoints += points;
    const auto& first = places[at.front()];
    const std::string part = qv::printable(first.part);
    const bool one = at.size() == 1;
    const std::string what =
        kind == qv::qvkx::RotationPlace::Unkept
            ? (one ? qv::format("rotation %llu of %llu, \"%s\", is no finite number within a float's range", u(at.front() + 1), u(places.size()),
                                part.c_str())
                   : qv::format("%llu of the %llu rotations are no finite numbers within a float's range, the first rotation %llu, \"%s\"",
                                u(at.size()), u(places.size()), u(at.front() + 1), part.c_str()))
            : (one ? qv::format("rotation %llu of %llu is an empty place (two blanks in a row)", u(at.front() + 1), u(places.size()))
                   : qv::format("%llu of the %llu rotations are empty places (two blanks in a row), the first rotation %llu", u(at.size()),
                                u(places.size()), u(at.front() + 1)));
    notes.emplace_back(listAt + first.at, what + qv::format("; %s left out with %s %llu point slot%s", one ? "it is" : "they are",
                                                            one ? "its" : "their", u(points), points == 1 ? "" : "s"));
  }
  if (!cloud.cutShort) {
    const auto rest = slotsFrom(bytes, dataOffset_);
    auto some = [&](std::uint64_t count, const char* thing) { return qv::format("%llu %s%s", u(count), thing, count == 1 ? "" : "s"); };
    const std::string beyond =
        "the body holds " + some(rest.slots, "slot") + " after the slots of the " + some(cloud.sliceCount, "rotation") + " listed";
    if (rest.points > 0) {
      notes.emplace_back(listAt, beyond + ", " + some(rest.points, "point") + " no rotation owns: " + (rest.points == 1 ? "it is" : "they are") +
                                     " left out");
      lostPoints += rest.points;
    } else if (rest.slots > 0) {
      remark(listAt, beyond + ", all of them empty");
    }
  }
  if (std::find(out.begin(), out.end(), true) != out.end()) leaveOutSlices(cloud, out);
  std::sort(notes.begin(), notes.end());
  if (lostPoints > 0 && cloud.points.empty()) {
    // Without them the cloud keeps no point: no cloud of a scan is left to make.
    std::string detail;
    for (const auto& [at, note] : notes) detail += (detail.empty() ? "" : "; ") + note;
    if (error) *error = invalidAt(notes.front().first, qv::qvkx::kInvalidDescription, detail + ": the cloud keeps no point");
    return false;
  }
  for (const auto& [at, detail] : notes) {
    QVLogWarn("Read the cloud file %s without some of its slots at byte %llu: %s", member.c_str(), u(at), detail.c_str());
    cloud.leftOutValues.push_back(invalidAt(at, qv::qvkx::kInvalidDescription, detail));
  }
  putSlicesInRotationOrder(cloud);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The archive

bool QVLQvkxFileImporter::decodeFolder(const fs::path& folder, QVLQvkxProjectContents& contents, qv::Error* error) {
  contents.clouds.clear();
  contents.textures.clear();
  contents.folder = folder;
  // Members the unzip had to leave out matter when the reader would have used them.
  auto unpackFailures = std::move(contents.skipped);
  contents.skipped.clear();
  contents.remarks.clear();
  contents.valueRemarks.clear();
  contents.keptAsWritten.clear();
  auto leftOut = [&](const std::string& name) {
    for (const auto& failure : unpackFailures)
      if (failure.member == name) return &failure;
    return static_cast<const QVLQvkxSkippedMember*>(nullptr);
  };
  std::set<const QVLQvkxSkippedMember*> named;  // each failure is named once, however often it is met
  auto nameFailure = [&](const QVLQvkxSkippedMember& failure) {
    if (named.insert(&failure).second) contents.skipped.push_back(failure);
  };
  for (const auto& failure : unpackFailures)
    if (failure.member.empty() || extensionOf(failure.member) == "qvk") nameFailure(failure);

  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end(), listedBefore);

  std::uint64_t slices = 0;
  for (const auto& name : names) {
    if (extensionOf(name) != "qvk" || !isRegularFile(folder / name)) continue;
    member_.clear();
    if (contents.clouds.size() >= qv::qvkx::kMaximumClouds) {
      if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription,
                                    "the archive holds more than " + std::to_string(qv::qvkx::kMaximumClouds) + " cloud files");
      return false;
    }
    auto bytes = qv::readWholeFile(folder / name, nullptr);
    QVLQvkxCloudContents cloud;
    qv::Error cloudError;
    if (!bytes) {
      member_ = name;
      contents.skipped.push_back({name, invalidAt(0, qv::qvkx::kInvalidDescription, "the cloud file cannot be read")});
      continue;
    }
    if (!decodeCloudFile(*bytes, name, cloud, &cloudError)) {
      QVLogWarn("Skipped the cloud file %s: %s", name.c_str(), cloudError.description.c_str());
      contents.skipped.push_back({name, cloudError});
      continue;
    }
    for (const auto& value : cloud.leftOutValues) contents.skipped.push_back({name, value});
    if (cloud.cutShort) contents.skipped.push_back({name, cloudError});
    for (const auto& remark : cloud.remarks) contents.valueRemarks.push_back({name, remark});
    for (const auto& kept : cloud.keptAsWritten) contents.keptAsWritten.push_back({name, kept});
    slices += cloud.sliceCount;
    if (slices > qv::qvkx::kMaximumSlices) {
      member_.clear();
      if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription,
                                    "the clouds list more than " + std::to_string(qv::qvkx::kMaximumSlices) + " rotations in all");
      return false;
    }
    contents.clouds.push_back(std::move(cloud));
  }
  if (contents.clouds.empty()) {
    member_.clear();
    if (error) {
      if (!contents.skipped.empty()) *error = contents.skipped.front().reason;
      else *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "the archive holds no cloud file");
    }
    return false;
  }
  // Clouds left without a single point by damage leave nothing to show: that is no scan, and the
  // user learns of every member that cost it its points. Clouds that were saved empty are a scan
  // with no points yet, and open as such.
  if (!contents.skipped.empty() &&
      std::all_of(contents.clouds.begin(), contents.clouds.end(), [](const auto& c) { return c.points.empty(); })) {
    auto lost = contents.skipped;
    for (const auto& cloud : contents.clouds) {
      if (cloud.cutShort) continue;  // already named with the place it was cut at
      member_ = cloud.member;
      lost.push_back({cloud.member, invalidAt(0, qv::qvkx::kInvalidDescription, "the cloud file holds no points")});
    }
    member_.clear();
    if (error) *error = membersError(lost, "The project holds no points to show");
    return false;
  }

  // Only the first description counts: a qvt sorts before the qvtx of the same name and wins.
  std::vector<std::string> descriptions;
  for (const auto& name : names) {
    const std::string extension = extensionOf(name);
    if ((extension == "qvt" || extension == "qvtx") && isRegularFile(folder / name)) descriptions.push_back(name);
  }
  for (const auto& failure : unpackFailures) {
    const std::string extension = extensionOf(failure.member);
    if (extension == "qvt" || extension == "qvtx") descriptions.push_back(failure.member);
  }
  std::sort(descriptions.begin(), descriptions.end(), listedBefore);
  if (!descriptions.empty()) {
    const std::string& name = descriptions.front();
    const qv::qvkx::MemberPlace place{localFilePath(), name};
    std::vector<qv::qvkx::DecodedTexture> textures;
    qv::Error descriptionError;
    std::optional<qv::Data> bytes;
    if (const auto* failure = leftOut(name)) {
      nameFailure(*failure);
    } else if (!(bytes = qv::readWholeFile(folder / name, nullptr))) {
      contents.skipped.push_back({name, qv::qvkx::memberError(place, 0, qv::qvkx::kInvalidDescription, "the texture description cannot be read")});
    } else {
      const bool ok = extensionOf(name) == "qvt"
                          ? qv::qvkx::decodeQvt(*bytes, place, textures, &descriptionError, [this](float f) { setPercentLoaded(f); })
                          : qv::qvkx::decodeQvtx(*bytes, place, textures, &descriptionError);
      if (!ok) {
        // The clouds are the scan; the photographs only colour a mesh made from it later. The
        // textures described before the damage are whole and kept.
        QVLogWarn("Read the texture description %s only up to its damage (%zu textures): %s", name.c_str(), textures.size(),
                  descriptionError.description.c_str());
        contents.skipped.push_back({name, descriptionError});
      }
    }
    if (textures.size() > qv::qvkx::kMaximumTextures) {
      if (error) *error = qv::qvkx::memberError(place, 0, qv::qvkx::kArchiveInvalidDescription,
                                                "the description lists " + std::to_string(textures.size()) + " textures, more than the " +
                                                    std::to_string(qv::qvkx::kMaximumTextures) + " a scan can have");
      return false;
    }
    for (auto& texture : textures) {
      // A name with a separator would lead out of the unpacked folder; a missing image is a
      // photo the project was saved without.
      if (!qv::qvkx::isPlainFileName(texture.fileName)) {
        QVLogWarn("Texture image name %s is not a plain file name; the texture is skipped", texture.fileName.c_str());
        continue;
      }
      if (!isRegularFile(folder / texture.fileName)) {
        if (const auto* failure = leftOut(texture.fileName)) nameFailure(*failure);
        continue;
      }
      contents.textures.push_back(std::move(texture));
    }
  }
  // A member that could not be unpacked under its name is named though the reader would not use
  // it: the file is whole, and the user learns what it holds that this library cannot.
  for (const auto& failure : unpackFailures)
    if (failure.refused && !named.count(&failure)) contents.remarks.push_back(failure);
  return true;
}

bool QVLQvkxFileImporter::storeContents(const QVLQvkxProjectContents& contents, qv::Error* error) {
  auto context = privateQueueContext();
  if (!context) {
    if (error) *error = qv::noStoreToReadIntoError();
    return false;
  }
  std::uint64_t total = 1;
  for (const auto& cloud : contents.clouds) total += cloud.points.size();
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    member_.clear();
    if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "more points than vertex numbers can name");
    return false;
  }

  // The images are copied first, so that nothing in the store names a file that is not there;
  // an image that several textures name is copied once.
  std::map<std::string, std::string> copyOf;
  auto removeCopies = [&] {
    std::error_code ec;
    for (const auto& [name, copy] : copyOf) fs::remove(copy, ec);
  };
  for (const auto& texture : contents.textures) {
    if (copyOf.count(texture.fileName)) continue;
    qv::Error copyError;
    auto copy = qv::copyFileIntoFolder((contents.folder / texture.fileName).string(), context->filesFolder(), &copyError);
    if (!copy) {
      removeCopies();
      if (error) {
        *error = qv::isOutOfSpace(copyError) ? qv::readerOutOfSpaceError(localFilePath(), copyError, context->filesFolder())
                                             : qv::fileError(qv::kFileWriteError, (contents.folder / texture.fileName).string(), 0,
                                                             "Could not copy the texture image into the library");
      }
      return false;
    }
    copyOf[texture.fileName] = *copy;
  }

  // Made before the store is touched: running out of memory here leaves nothing half done.
  auto buffer = std::make_shared<qv::Data>(static_cast<std::size_t>(total) * sizeof(QVLScanVertex), 0);
  std::vector<std::shared_ptr<qv::Data>> indexes;
  for (const auto& decoded : contents.clouds) indexes.push_back(std::make_shared<qv::Data>(decoded.slots.size() * 4));

  bool ok = false;
  context->performAndWait([&] {
    auto scan = scanObjectId() ? QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context) : nullptr;
    if (!scan) {
      if (error) *error = qv::noScanToReadIntoError();
      return;
    }
    qv::StoreUndo undo(*context, scan, {"lastOpenedDate", "vertexData", "unsavedVertexData", "radiusCutoff", "yCutoff"});
    try {
      scan->setLastOpenedDate(qv::dateNow());
      std::uint32_t next = 1;  // record 0 stays the all-zero "no point"
      for (std::size_t c = 0; c < contents.clouds.size(); ++c) {
        const auto& decoded = contents.clouds[c];
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan, decoded.header);
        if (!cloud) continue;
        undo.created(cloud);
        for (const auto& attribute : decoded.unsetAttributes) cloud->setValue(attribute, qv::AttributeValue());
        const auto slices = QVSDScanSlice::scanSlicesSortedBySliceIndexInPointCloud(cloud);
        if (slices.size() != decoded.sliceCount) {
          undo.undo();
          member_ = decoded.member;
          if (error) *error = invalidAt(0, qv::qvkx::kInvalidDescription, "the rotations do not give one slice each");
          return;
        }
        const auto lookupId = static_cast<std::int16_t>(cloud->lookupId().value_or(0));
        for (std::size_t j = 0; j < decoded.points.size(); ++j) {
          QVLScanVertex v = decoded.points[j];
          v.lookupId = lookupId;
          qv::qvk::putScanVertex(*buffer, next + j, v);
        }
        auto& index = indexes[c];
        for (std::size_t k = 0; k < decoded.slots.size(); ++k) {
          const std::uint32_t entry = decoded.slots[k] == 0 ? 0 : next + decoded.slots[k] - 1;
          std::memcpy(index->data() + k * 4, &entry, 4);
        }
        cloud->setVertexIndexData(index);
        // A cloud cut short has fewer slots than its slices need: its first slice holds them all.
        if (decoded.slots.size() == decoded.cameraHeight * decoded.sliceCount) {
          for (const auto& slice : slices) slice->setNumberOfPoints(static_cast<std::int64_t>(decoded.cameraHeight));
        } else if (!slices.empty()) {
          slices.front()->setNumberOfPoints(static_cast<std::int64_t>(decoded.slots.size()));
        }
        next += static_cast<std::uint32_t>(decoded.points.size());
      }
      for (const auto& decoded : contents.textures) {
        auto texture = QVSDTexture::createTextureInScanObject(scan);
        if (!texture) continue;
        undo.created(texture);
        texture->setTextureFileName(copyOf[decoded.fileName]);
        for (const auto& [attribute, value] : decoded.attributes) texture->setValue(attribute, qv::AttributeValue(value));
      }
      scan->setVertexData(buffer);
      scan->setUnsavedVertexData(nullptr);
      scan->setRadiusCutoff(static_cast<double>(std::numeric_limits<float>::max()));
      scan->setYCutoff(static_cast<double>(std::numeric_limits<float>::min()));
    } catch (const std::exception& e) {
      undo.undo();
      member_.clear();
      if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, std::string("the scan could not be stored: ") + e.what());
      return;
    }

    if (!undo.save(error, localFilePath())) return;
    QVLogInfo("Finished reading QVKX data");
    ok = true;
  });
  if (!ok) removeCopies();
  return ok;
}

std::string QVLQvkxFileImporter::missingLayerText(const SSZipArchiveSkippedEntry& entry) {
  std::string layer = layerOfMember(entry.name);
  // Its points can be told only from a file that unpacked whole (the checksum alone failed) and
  // reads as a whole cloud; otherwise no number is given rather than a guess.
  std::optional<std::uint64_t> points;
  if (entry.unpackedBytes && entry.unpackedInFull) {
    QVLQvkxCloudContents cloud;
    qv::Error ignored;
    if (decodeCloudFile(*entry.unpackedBytes, entry.name, cloud, &ignored) && !cloud.cutShort) points = cloud.points.size();
  }
  std::string text = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(layer[0])))) + layer.substr(1) +
                     " is missing";
  if (points) text += qv::format(", with its %llu point%s", static_cast<unsigned long long>(*points), *points == 1 ? "" : "s");
  const bool unpackable = entry.reason != "it cannot be unpacked";
  text += ": its file " + entry.name + " " + (unpackable ? "was left out, as " + entry.reason : std::string("cannot be unpacked"));
  if (!points) text += "; how many points it held cannot be told";
  return text;
}

bool QVLQvkxFileImporter::parseFile(qv::Error* error) {
  QVLFileImporter::parseFile(error);
  // A hostile file must not take the program down with it: whatever a read throws (running out of
  // memory above all) becomes its error.
  try {
    return readProject(error);
  } catch (const std::bad_alloc&) {
    QVLogError("Reading %s ran out of memory", localFilePath().c_str());
    if (error) *error = qv::dataOffsetError(localFilePath(), 0, qv::qvkx::kArchiveInvalidDescription, "there is not enough memory to read it");
  } catch (const std::exception& e) {
    QVLogError("Reading %s failed: %s", localFilePath().c_str(), e.what());
    if (error) *error = qv::dataOffsetError(localFilePath(), 0, qv::qvkx::kArchiveInvalidDescription, e.what());
  }
  return false;
}

bool QVLQvkxFileImporter::readProject(qv::Error* error) {
  const std::string& path = localFilePath();
  if (!qv::checkReaderInput(path, error)) return false;
  auto context = privateQueueContext();
  if (!context) {
    if (error) *error = qv::noStoreToReadIntoError();
    return false;
  }

  const fs::path folder = context->libraryFolder() / (qv::makeUUIDString() + "." + qv::qvkx::kImportFolderExtension);
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    QVLogWarn("The randomly named intermediate export folder already exists!!");
    if (error) *error = qv::fileError(qv::kFileWriteError, folder.string(), 0, "The intermediate import folder already exists");
    return false;
  }
  if (!fs::create_directory(folder, ec) || ec) {
    QVLogWarn("Could not create the intermediate export folder at %s", folder.c_str());
    QVLogWarn("Error: %s", ec.message().c_str());
    if (error) {
      const qv::Error cause = qv::writeFailure(folder, 0, "Could not create the intermediate import folder", ec ? ec.value() : EEXIST);
      *error = qv::isOutOfSpace(cause) ? qv::readerOutOfSpaceError(path, cause, context->libraryFolder())
                                       : qv::fileError(qv::kFileWriteError, folder.string(), 0,
                                                       "Could not create the intermediate import folder: " + ec.message());
    }
    return false;
  }
  const qv::qvkx::FolderRemoval removal{folder};

  QVLQvkxProjectContents contents;
  SSZipArchiveLimits limits;
  limits.maximumEntryBytes = qv::qvkx::kMaximumMemberBytes;
  limits.maximumTotalBytes = qv::qvkx::kMaximumProjectBytes;
  limits.maximumEntries = qv::qvkx::kMaximumMembers;
  limits.skipDamagedEntries = true;
  limits.keepFirstOfEachName = true;
  limits.keepDamagedBytes = true;  // to tell how many points a damaged cloud file took with it
  std::vector<SSZipArchiveSkippedEntry> leftOut;
  qv::Error unzipError;
  member_.clear();
  const bool unzipped = SSZipArchive::unzipFileAtPath(path, folder.string(), limits, &leftOut, &unzipError);
  // A second member of a name already unpacked: the first is read, and the other named.
  std::vector<QVLQvkxSkippedMember> duplicates;
  for (auto entry = leftOut.begin(); entry != leftOut.end();) {
    if (!entry->duplicate) {
      ++entry;
      continue;
    }
    member_ = entry->name;
    duplicates.push_back({entry->name, invalidAt(0, qv::qvkx::kArchiveInvalidDescription, entry->reason)});
    entry = leftOut.erase(entry);
  }
  member_.clear();
  // A library whose folder or disk cannot take the unpacked members (no room, no permission, a
  // read-only or failing disk) is not a damaged file, and reading on would store the project
  // without them. A member whose own name it refuses costs only that member, below.
  if (!unzipped && SSZipArchive::isWriteFailure(unzipError)) {
    QVLogError("Could not unpack %s: %s", path.c_str(), unzipError.description.c_str());
    if (error) *error = qv::readerWriteError(path, unzipError, context->libraryFolder());
    return false;
  }
  if (!unzipped) {
    // Entries left out one by one cost only themselves; anything else ends the read.
    const bool wholeArchive = unzipError.code == SSZipArchive::kCannotOpenArchiveError ||
                              unzipError.code == SSZipArchive::kCannotOpenFirstEntryError ||
                              (unzipError.code == SSZipArchive::kLimitExceededError &&
                               !qv::find(unzipError.userInfo, SSZipArchive::kEntryNameKey));
    if (wholeArchive) {
      if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "the archive cannot be unpacked: " + unzipError.description);
      return false;
    }
    QVLogWarn("Reading %s without what could not be unpacked: %s", path.c_str(), unzipError.description.c_str());
    for (const auto& entry : leftOut) {
      member_ = entry.name;
      if (!entry.refused) {
        qv::Error damaged = invalidAt(0, qv::qvkx::kInvalidDescription, entry.reason);
        if (extensionOf(entry.name) == "qvk") damaged.description = missingLayerText(entry);
        contents.skipped.push_back({entry.name, std::move(damaged)});
        continue;
      }
      qv::Error refused = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "");
      refused.description = "The member " + entry.name + " was left out: it cannot be unpacked into the folder " +
                            context->libraryFolder().string() + ", as " + entry.reason;
      refused.userInfo[qv::qvkx::kMemberKey] = entry.name;
      refused.userInfo[qv::Error::kFilePathKey] = context->libraryFolder().string();
      refused.userInfo[qv::Error::kUnderlyingErrorKey] = entry.systemCode;
      contents.skipped.push_back({entry.name, std::move(refused), true});
    }
    member_.clear();
    if (unzipError.code == SSZipArchive::kUnsafeEntryError) {
      // A hostile entry is reported whatever kind of member it would have been.
      const auto* entry = qv::find(unzipError.userInfo, SSZipArchive::kEntryNameKey);
      member_ = entry && entry->string() ? *entry->string() : std::string();
      contents.skipped.push_back({"", invalidAt(0, qv::qvkx::kArchiveInvalidDescription,
                                                "the member was left out, as it would be unpacked outside the project's folder")});
      member_.clear();
    } else if (leftOut.empty()) {
      // A damaged list of entries ends the unzip with what came before it.
      contents.skipped.push_back({"", invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "only part of the archive can be unpacked: " +
                                                                                             unzipError.description)});
    }
  }
  if (!decodeFolder(folder, contents, error)) return false;
  if (!storeContents(contents, error)) return false;
  contents.skipped.insert(contents.skipped.end(), duplicates.begin(), duplicates.end());
  contents.skipped.insert(contents.skipped.end(), contents.remarks.begin(), contents.remarks.end());
  if (error && (!contents.skipped.empty() || !contents.valueRemarks.empty() || !contents.keptAsWritten.empty()))
    *error = readWarning(contents.skipped, contents.valueRemarks, contents.keptAsWritten);
  return true;
}
