// The merge of an aligned second scan into a copy of the fixed scan.
#include "viewer/model/ScanMerge.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/Log.h"
#include "store/QVLScanVertex.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDTexture.h"

namespace qv::viewer {

namespace {

constexpr std::size_t kRecordBytes = sizeof(QVLScanVertex);

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Three stored numbers as a float triple, moved and written back; unset parts read as 0, and
// a triple the matrix leaves alone is not written, so unset values stay unset.
template <class Object, class Get, class Set>
void moveTriple(Object& object, Get get, Set set, const QVLAlign::Matrix& m, bool isDirection) {
  float v[3];
  for (int i = 0; i < 3; ++i) v[i] = static_cast<float>((object.*get[i])().value_or(0));
  const float before[3] = {v[0], v[1], v[2]};
  if (isDirection)
    QVLAlign::applyMatrixToNormal(m, v);
  else
    QVLAlign::applyMatrixToVertex(m, v);
  if (std::memcmp(before, v, sizeof v) == 0) return;
  for (int i = 0; i < 3; ++i) (object.*set[i])(static_cast<double>(v[i]));
}

using CloudGet = std::optional<double> (QVSDPointCloud::*)() const;
using CloudSet = void (QVSDPointCloud::*)(std::optional<double>);
struct CloudTriple {
  CloudGet get[3];
  CloudSet set[3];
  bool isDirection;
};

// The capture geometry of a cloud, in the order it is moved.
const CloudTriple kCloudGeometry[] = {
    {{&QVSDPointCloud::bedNX, &QVSDPointCloud::bedNY, &QVSDPointCloud::bedNZ},
     {&QVSDPointCloud::setBedNX, &QVSDPointCloud::setBedNY, &QVSDPointCloud::setBedNZ}, true},
    {{&QVSDPointCloud::bedX, &QVSDPointCloud::bedY, &QVSDPointCloud::bedZ},
     {&QVSDPointCloud::setBedX, &QVSDPointCloud::setBedY, &QVSDPointCloud::setBedZ}, false},
    {{&QVSDPointCloud::cameraOriginX, &QVSDPointCloud::cameraOriginY, &QVSDPointCloud::cameraOriginZ},
     {&QVSDPointCloud::setCameraOriginX, &QVSDPointCloud::setCameraOriginY, &QVSDPointCloud::setCameraOriginZ}, false},
    {{&QVSDPointCloud::cameraNormalX, &QVSDPointCloud::cameraNormalY, &QVSDPointCloud::cameraNormalZ},
     {&QVSDPointCloud::setCameraNormalX, &QVSDPointCloud::setCameraNormalY, &QVSDPointCloud::setCameraNormalZ}, true},
    {{&QVSDPointCloud::cameraUpX, &QVSDPointCloud::cameraUpY, &QVSDPointCloud::cameraUpZ},
     {&QVSDPointCloud::setCameraUpX, &QVSDPointCloud::setCameraUpY, &QVSDPointCloud::setCameraUpZ}, true},
    {{&QVSDPointCloud::leadScrewNX, &QVSDPointCloud::leadScrewNY, &QVSDPointCloud::leadScrewNZ},
     {&QVSDPointCloud::setLeadScrewNX, &QVSDPointCloud::setLeadScrewNY, &QVSDPointCloud::setLeadScrewNZ}, true},
    {{&QVSDPointCloud::laserNormalX, &QVSDPointCloud::laserNormalY, &QVSDPointCloud::laserNormalZ},
     {&QVSDPointCloud::setLaserNormalX, &QVSDPointCloud::setLaserNormalY, &QVSDPointCloud::setLaserNormalZ}, true},
    {{&QVSDPointCloud::laserOriginX, &QVSDPointCloud::laserOriginY, &QVSDPointCloud::laserOriginZ},
     {&QVSDPointCloud::setLaserOriginX, &QVSDPointCloud::setLaserOriginY, &QVSDPointCloud::setLaserOriginZ}, false},
};

using TextureGet = std::optional<double> (QVSDTexture::*)() const;
using TextureSet = void (QVSDTexture::*)(std::optional<double>);
const TextureGet kTexturePosition[] = {&QVSDTexture::cameraPositionX, &QVSDTexture::cameraPositionY,
                                       &QVSDTexture::cameraPositionZ};
const TextureSet kSetTexturePosition[] = {&QVSDTexture::setCameraPositionX, &QVSDTexture::setCameraPositionY,
                                          &QVSDTexture::setCameraPositionZ};
const TextureGet kTextureNormal[] = {&QVSDTexture::cameraNormX, &QVSDTexture::cameraNormY, &QVSDTexture::cameraNormZ};
const TextureSet kSetTextureNormal[] = {&QVSDTexture::setCameraNormX, &QVSDTexture::setCameraNormY,
                                        &QVSDTexture::setCameraNormZ};
const TextureGet kTextureUp[] = {&QVSDTexture::cameraUpX, &QVSDTexture::cameraUpY, &QVSDTexture::cameraUpZ};
const TextureSet kSetTextureUp[] = {&QVSDTexture::setCameraUpX, &QVSDTexture::setCameraUpY, &QVSDTexture::setCameraUpZ};

std::array<double, 3> tripleOf(const QVSDTexture& t, const TextureGet (&get)[3]) {
  return {(t.*get[0])().value_or(0), (t.*get[1])().value_or(0), (t.*get[2])().value_or(0)};
}

// Cloud numbers of the second scan's clouds must not repeat the fixed scan's: the records name
// their cloud by it, and the viewer's layers and the writers group by it.
std::int64_t largestLookupId(const QVSDScanObject& scan) {
  std::int64_t largest = 0;
  for (const auto& cloud : scan.pointClouds()) largest = std::max(largest, cloud->lookupId().value_or(0));
  return largest;
}

}  // namespace

std::string combineSourceFilePath(const std::string& fixedPath, const std::string& secondPath, bool saveAsQvkxFile) {
  const std::filesystem::path fixed(fixedPath);
  const std::string extension = lowercase(fixed.extension().string());
  if (extension != ".qvk" && extension != ".qvkx") return "";
  const std::string name = fixed.stem().string() + "_" + std::filesystem::path(secondPath).stem().string() + "." +
                           (saveAsQvkxFile ? "qvkx" : "qvk");
  return (fixed.parent_path() / name).string();
}

std::optional<MergeResult> mergeAlignedScans(ObjectContext& context, const MergeInput& input, Error* error) {
  auto fixed = QVSDScanObject::scanObjectWithId(input.fixedScanId, false, context);
  auto second = QVSDScanObject::scanObjectWithId(input.secondScanId, false, context);
  if (!fixed || !second) {
    if (error) *error = Error("QVLAligningErrorDomain", 1, "A scan to merge is no longer in the store");
    return std::nullopt;
  }
  auto merged = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
  if (!merged) {
    if (error) *error = Error("QVLAligningErrorDomain", 2, "The store has no library for the merged scan");
    return std::nullopt;
  }
  // A merged scan without the files of its clouds and photographs would lose them: a copy that
  // fails gives the merge up, its copies removed.
  auto giveUp = [&](const Error& why) {
    QVLogWarn("The merged scan could not be stored: %s", why.description.c_str());
    merged->discardCopiedFiles();
    context.deleteObject(merged);
    if (error) *error = why;
    return std::nullopt;
  };
  Error copyError;
  if (!merged->copyFromScanObject(*fixed, &copyError)) return giveUp(copyError);

  MergeResult result;
  result.bothHaveSlices = !fixed->scanSlices().empty() && !second->scanSlices().empty();
  result.proposedPath =
      combineSourceFilePath(fixed->sourceFilePath().value_or(""), input.secondFilePath, result.bothHaveSlices);
  if (!result.proposedPath.empty()) merged->setSourceFilePath(result.proposedPath);

  // The copy carries the fixed scan's unsaved edits and display records, which describe the
  // fixed scan's records alone and which the viewer and the writers would prefer to the merge.
  for (const char* key : {"unsavedVertexData", "sortableIndexData", "sortableIndexReferenceForNeighbourData",
                          "sortableIndexReferenceForRadiusData", "sortableIndexReferenceForYPositionData"})
    merged->setValue(key, AttributeValue{});

  const std::size_t fixedRecords = input.fixedVertexData.size() / kRecordBytes;
  const std::size_t movedRecords = input.movedVertexData.size() / kRecordBytes;
  const std::uint32_t offset = static_cast<std::uint32_t>(fixedRecords) - 1;

  std::map<std::int64_t, std::int16_t> renumbered;
  std::int64_t nextLookupId = largestLookupId(*merged) + 1;
  for (const auto& cloud : second->pointClouds()) {
    auto copy = QVSDPointCloud::createPointCloudForScanObject(merged);
    if (!copy) continue;
    if (!copy->copyFromPointCloud(*cloud, &copyError)) return giveUp(copyError);
    const std::int64_t oldId = cloud->lookupId().value_or(0);
    if (!renumbered.count(oldId)) renumbered[oldId] = static_cast<std::int16_t>(nextLookupId++);
    copy->setLookupId(renumbered[oldId]);
    if (auto list = cloud->vertexIndexData(); list && !list->empty()) {
      auto moved = std::make_shared<Data>(*list);
      for (std::size_t at = 0; at + 4 <= moved->size(); at += 4) {
        std::uint32_t index;
        std::memcpy(&index, moved->data() + at, 4);
        if (index != 0) index += offset;
        std::memcpy(moved->data() + at, &index, 4);
      }
      copy->setVertexIndexData(moved);
    }
    for (const CloudTriple& t : kCloudGeometry) moveTriple(*copy, t.get, t.set, input.matrix, t.isDirection);
  }

  // The fixed records, then the moved ones without their record 0 ("no vertex"); each moved
  // record names its cloud by the new number.
  auto vertices = std::make_shared<Data>();
  vertices->reserve(fixedRecords * kRecordBytes + (movedRecords ? movedRecords - 1 : 0) * kRecordBytes);
  vertices->insert(vertices->end(), input.fixedVertexData.begin(),
                   input.fixedVertexData.begin() + static_cast<std::ptrdiff_t>(fixedRecords * kRecordBytes));
  for (std::size_t i = 1; i < movedRecords; ++i) {
    const std::uint8_t* record = input.movedVertexData.data() + i * kRecordBytes;
    const std::size_t at = vertices->size();
    vertices->insert(vertices->end(), record, record + kRecordBytes);
    std::int16_t lookupId;
    std::memcpy(&lookupId, vertices->data() + at, sizeof lookupId);
    if (auto found = renumbered.find(lookupId); found != renumbered.end())
      std::memcpy(vertices->data() + at, &found->second, sizeof found->second);
  }
  merged->setVertexData(vertices);

  for (const auto& texture : second->textures()) {
    auto copy = QVSDTexture::createTextureInScanObject(merged);
    if (!copy) continue;
    if (!copy->copyFromTexture(*texture, &copyError)) return giveUp(copyError);
    const auto position = tripleOf(*copy, kTexturePosition), normal = tripleOf(*copy, kTextureNormal),
               up = tripleOf(*copy, kTextureUp);
    moveTriple(*copy, kTexturePosition, kSetTexturePosition, input.matrix, false);
    moveTriple(*copy, kTextureNormal, kSetTextureNormal, input.matrix, true);
    moveTriple(*copy, kTextureUp, kSetTextureUp, input.matrix, true);
    const auto position2 = tripleOf(*copy, kTexturePosition), normal2 = tripleOf(*copy, kTextureNormal),
               up2 = tripleOf(*copy, kTextureUp);
    QVLogInfo("(%8.3f,%8.3f,%8.3f),(%6.3f,%6.3f,%6.3f),(%6.3f,%6.3f,%6.3f)->(%8.3f,%8.3f,%8.3f),(%6.3f,%6.3f,%6.3f),(%6.3f,%6.3f,%6.3f)",
              position[0], position[1], position[2], normal[0], normal[1], normal[2], up[0], up[1], up[2],
              position2[0], position2[1], position2[2], normal2[0], normal2[1], normal2[2], up2[0], up2[1], up2[2]);
  }

  Error saveError;
  if (!context.save(&saveError)) return giveUp(saveError);
  result.mergedScanId = merged->objectID();
  return result;
}

}  // namespace qv::viewer
