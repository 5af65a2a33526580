// The point cloud entity: factories (plain, from scan-file header values, from a calibration),
// look-ups, copying with its vertex file, and its file of slice blocks.
#include "store/QVSDPointCloud.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Log.h"
#include "records/QVSCalibrationDetails.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/StoreErrors.h"
#include "store/internal/EntityHelpers.h"

namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t n = std::char_traits<char>::length(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Splits at every single blank, so two blanks in a row give an empty part (which reads as 0).
std::vector<std::string> splitAtBlanks(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t blank = text.find(' ', start);
    parts.push_back(text.substr(start, blank == std::string::npos ? std::string::npos : blank - start));
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  return parts;
}

double partAsDouble(const std::string& part) { return qv::Value(part).toDouble(); }
double asFloatNumber(double v) { return static_cast<double>(static_cast<float>(v)); }

std::string textOf(const qv::Value& value) { return value.toString().value_or(""); }

}  // namespace

std::shared_ptr<QVSDScanObject> QVSDPointCloud::scanObject() const {
  return std::dynamic_pointer_cast<QVSDScanObject>(toOne("scanObject"));
}
std::vector<std::shared_ptr<QVSDScanSlice>> QVSDPointCloud::scanSlices() const {
  return qv::entity::cast<QVSDScanSlice>(toMany("scanSlices"));
}
std::vector<std::shared_ptr<QVSDPoint3D>> QVSDPointCloud::points() const {
  return qv::entity::cast<QVSDPoint3D>(toMany("points"));
}
std::size_t QVSDPointCloud::scanSliceCount() const { return toManyCount("scanSlices"); }

std::shared_ptr<QVSDPointCloud> QVSDPointCloud::createPointCloudForScanObject(const std::shared_ptr<QVSDScanObject>& scanObject) {
  if (!scanObject) return nullptr;
  auto context = scanObject->managedObjectContext();
  if (!context) return nullptr;
  auto cloud = context->insertNewObject<QVSDPointCloud>();
  cloud->setToOne("scanObject", scanObject);
  cloud->setLookupId(static_cast<std::int64_t>(scanObject->toManyCount("pointClouds")));
  return cloud;
}

std::shared_ptr<QVSDPointCloud> QVSDPointCloud::createPointCloudForScanObject(const std::shared_ptr<QVSDScanObject>& scanObject,
                                                                             const qv::Dictionary& properties) {
  if (properties.empty()) return nullptr;
  auto cloud = createPointCloudForScanObject(scanObject);
  if (!cloud) return nullptr;

  struct DoubleKey {
    const char* key;
    const char* attribute;
  };
  static const DoubleKey kDoubles[] = {
      {"bedNormalX", "bedNX"}, {"bedNormalY", "bedNY"}, {"bedNormalZ", "bedNZ"},
      {"bedPositionX", "bedX"}, {"bedPositionY", "bedY"}, {"bedPositionZ", "bedZ"},
      {"cameraOriginX", "cameraOriginX"}, {"cameraOriginY", "cameraOriginY"}, {"cameraOriginZ", "cameraOriginZ"},
      {"cameraNormalX", "cameraNormalX"}, {"cameraNormalY", "cameraNormalY"}, {"cameraNormalZ", "cameraNormalZ"},
      {"cameraUpX", "cameraUpX"}, {"cameraUpY", "cameraUpY"}, {"cameraUpZ", "cameraUpZ"},
      {"laserOriginX", "laserOriginX"}, {"laserOriginY", "laserOriginY"}, {"laserOriginZ", "laserOriginZ"},
      {"laserNormalX", "laserNormalX"}, {"laserNormalY", "laserNormalY"}, {"laserNormalZ", "laserNormalZ"},
      {"leadScrewNormalX", "leadScrewNX"}, {"leadScrewNormalY", "leadScrewNY"}, {"leadScrewNormalZ", "leadScrewNZ"},
      {"captureHeight", "headHeight"}};
  static const DoubleKey kIntegers[] = {
      {"ID", "referenceId"}, {"laser", "laserNumber"}, {"cameraWidth", "cameraWidth"}, {"cameraHeight", "cameraHeight"}};

  for (const auto& [key, value] : properties) {
    bool matched = false;
    for (const auto& d : kDoubles) {
      if (equalsIgnoringCase(key, d.key)) {
        cloud->setValue(d.attribute, value.toDouble());
        matched = true;
        break;
      }
    }
    if (matched) continue;
    for (const auto& i : kIntegers) {
      if (equalsIgnoringCase(key, i.key)) {
        cloud->setValue(i.attribute, value.toInt64());
        matched = true;
        break;
      }
    }
    if (matched || equalsIgnoringCase(key, "cloudHeight") || equalsIgnoringCase(key, "cloudWidth")) continue;
    if (equalsIgnoringCase(key, "intrinsic")) {
      const auto parts = splitAtBlanks(textOf(value));
      if (parts.size() == 4) {
        // Four values are fx, fy, cx, cy: the order the scan file writer puts them in, so that a
        // scan read back keeps its focal lengths and principal point where they were.
        cloud->setIntrinsicFX(asFloatNumber(partAsDouble(parts[0])));
        cloud->setIntrinsicFY(asFloatNumber(partAsDouble(parts[1])));
        cloud->setIntrinsicCX(asFloatNumber(partAsDouble(parts[2])));
        cloud->setIntrinsicCY(asFloatNumber(partAsDouble(parts[3])));
      } else if (parts.size() == 9) {
        cloud->setIntrinsicFX(asFloatNumber(partAsDouble(parts[0])));
        cloud->setIntrinsicCX(asFloatNumber(partAsDouble(parts[2])));
        cloud->setIntrinsicFY(asFloatNumber(partAsDouble(parts[4])));
        cloud->setIntrinsicCY(asFloatNumber(partAsDouble(parts[5])));
      } else {
        QVLogWarn("Unrecognized intrinsic pattern: %s", textOf(value).c_str());
      }
    } else if (equalsIgnoringCase(key, "distortion")) {
      const auto parts = splitAtBlanks(textOf(value));
      if (parts.size() >= 4) {
        cloud->setDistortion0(asFloatNumber(partAsDouble(parts[0])));
        cloud->setDistortion1(asFloatNumber(partAsDouble(parts[1])));
        cloud->setDistortion2(asFloatNumber(partAsDouble(parts[2])));
        cloud->setDistortion3(asFloatNumber(partAsDouble(parts[3])));
      }
    } else if (equalsIgnoringCase(key, "radians")) {
      // The values are the slices' rotations as the file lists them; no unit is converted. An
      // empty part (two blanks in a row, or no value at all) is no rotation, not one at 0.
      for (const auto& part : splitAtBlanks(textOf(value)))
        if (!part.empty()) QVSDScanSlice::createScanSliceInPointCloud(cloud, static_cast<float>(partAsDouble(part)));
    }
  }
  return cloud;
}

std::shared_ptr<QVSDPointCloud> QVSDPointCloud::createPointCloudForScanObject(const std::shared_ptr<QVSDScanObject>& scanObject,
                                                                             const QVSCalibrationDetails& c,
                                                                             float headHeight_mm, int laser) {
  auto cloud = createPointCloudForScanObject(scanObject);
  if (!cloud) return nullptr;
  auto f = [](float v) { return static_cast<double>(v); };
  cloud->setBedNX(f(c.bedNormalX()));
  cloud->setBedNY(f(c.bedNormalY()));
  cloud->setBedNZ(f(c.bedNormalZ()));
  cloud->setBedX(f(c.bedOriginX()));
  cloud->setBedY(f(c.bedOriginY()));
  cloud->setBedZ(f(c.bedOriginZ()));
  cloud->setCameraOriginX(f(c.cameraOriginX()));
  cloud->setCameraOriginY(f(c.cameraOriginY()));
  cloud->setCameraOriginZ(f(c.cameraOriginZ()));
  cloud->setDistortion0(f(c.distortion0()));
  cloud->setDistortion1(f(c.distortion1()));
  cloud->setDistortion2(f(c.distortion2()));
  cloud->setDistortion3(f(c.distortion3()));
  cloud->setIntrinsicCX(f(c.intrinsicCX()));
  cloud->setIntrinsicCY(f(c.intrinsicCY()));
  cloud->setIntrinsicFX(f(c.intrinsicFX()));
  cloud->setIntrinsicFY(f(c.intrinsicFY()));
  cloud->setLeadScrewNX(f(c.leadScrewNormalX()));
  cloud->setLeadScrewNY(f(c.leadScrewNormalY()));
  cloud->setLeadScrewNZ(f(c.leadScrewNormalZ()));
  cloud->setCameraUpX(f(c.cameraUpX()));
  cloud->setCameraUpY(f(c.cameraUpY()));
  cloud->setCameraUpZ(f(c.cameraUpZ()));
  if (laser == 0) {
    cloud->setLaserNormalX(f(c.laser1NormalX()));
    cloud->setLaserNormalY(f(c.laser1NormalY()));
    cloud->setLaserNormalZ(f(c.laser1NormalZ()));
    cloud->setLaserOriginX(f(c.laser1OriginX()));
    cloud->setLaserOriginY(f(c.laser1OriginY()));
    cloud->setLaserOriginZ(f(c.laser1OriginZ()));
  } else {
    cloud->setLaserNormalX(f(c.laser2NormalX()));
    cloud->setLaserNormalY(f(c.laser2NormalY()));
    cloud->setLaserNormalZ(f(c.laser2NormalZ()));
    cloud->setLaserOriginX(f(c.laser2OriginX()));
    cloud->setLaserOriginY(f(c.laser2OriginY()));
    cloud->setLaserOriginZ(f(c.laser2OriginZ()));
  }
  cloud->setCameraWidth(1280);
  cloud->setCameraHeight(960);
  cloud->setHeadHeight(f(headHeight_mm));
  cloud->setLaserNumber(laser);
  return cloud;
}

std::shared_ptr<QVSDPointCloud> QVSDPointCloud::pointCloudWithId(const qv::ObjectID& id, qv::ObjectContext& context) {
  return context.objectWithIDAs<QVSDPointCloud>(id);
}

std::shared_ptr<QVSDPointCloud> QVSDPointCloud::pointCloudWithHeadHeight(float headHeight_mm,
                                                                        const std::shared_ptr<QVSDScanObject>& scanObject) {
  if (!scanObject) return nullptr;
  return qv::entity::fetchFirst<QVSDPointCloud>(
      *scanObject, qv::FetchRequest(kEntityName)
                       .where("headHeight", qv::Comparison::Equal, static_cast<double>(headHeight_mm))
                       .whereRelated("scanObject", scanObject->objectID()));
}

std::shared_ptr<QVSDPointCloud> QVSDPointCloud::pointCloudWithLaserVertexIndexFilePath(const std::string& path,
                                                                                      qv::ObjectContext& context) {
  return qv::entity::fetchFirst<QVSDPointCloud>(
      context, qv::FetchRequest(kEntityName).where("vertexIndexDataFilePath", qv::Comparison::Equal, path));
}

std::vector<std::shared_ptr<QVSDPointCloud>> QVSDPointCloud::sortedPointCloudsForScanObject(
    const std::shared_ptr<QVSDScanObject>& scanObject) {
  if (!scanObject) return {};
  return qv::entity::fetchAll<QVSDPointCloud>(*scanObject, qv::FetchRequest(kEntityName)
                                                               .whereRelated("scanObject", scanObject->objectID())
                                                               .sortedBy("headHeight", true)
                                                               .sortedBy("laserNumber", true));
}

bool QVSDPointCloud::copyFromPointCloud(const QVSDPointCloud& source, qv::Error* error) {
  qv::entity::copyAttributes(
      *this, source,
      {"bedNX", "bedNY", "bedNZ", "bedX", "bedY", "bedZ", "cameraHeight", "cameraNormalX", "cameraNormalY",
       "cameraNormalZ", "cameraOriginX", "cameraOriginY", "cameraOriginZ", "cameraWidth", "headHeight", "height", "laserNormalX", "laserNormalY", "laserNormalZ",
       "laserNumber", "laserOriginX", "laserOriginY", "laserOriginZ", "leadScrewNX", "leadScrewNY", "leadScrewNZ",
       "lookupId", "objectCenterPointX", "objectCenterPointY", "objectCenterPointZ", "radiansData",
       "vertexIndexData", "cameraUpX", "cameraUpY", "cameraUpZ", "intrinsicCX", "intrinsicCY", "intrinsicFX",
       "intrinsicFY", "distortion0", "distortion1", "distortion2", "distortion3", "referenceId"});
  // The copied slices keep their offsets, so the copy needs the blocks those offsets point into.
  if (!qv::entity::copyFileAttribute(*this, source, "vertexDataFilePath", error)) return false;
  auto self = std::dynamic_pointer_cast<QVSDPointCloud>(shared_from_this());
  for (const auto& slice : source.scanSlices()) {
    auto rotation = slice->rotation();
    if (auto copy = QVSDScanSlice::createScanSliceInPointCloud(self, static_cast<float>(rotation.value_or(0))))
      copy->copyFromScanSlice(*slice);
  }
  return true;
}

bool QVSDPointCloud::appendSliceBlock(QVSDScanSlice& slice, const qv::SliceBlock& block, qv::Error* error) {
  auto context = managedObjectContext();
  if (!context) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kVertexFileError, "The point cloud is in no context");
    return false;
  }
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(block.data()), qv::kSliceBlockBytes);
  const std::string path = vertexDataFilePath().value_or("");
  if (path.empty()) {
    const auto file = qv::newLibraryFilePath(context->filesFolder(), qv::kPointCloudVertexFileExtension);
    if (!qv::createFileWithContents(file, bytes, error)) return false;
    setVertexDataFilePath(file.string());
    slice.setDataOffset(0);
    return true;
  }
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (error) {
      *error = qv::Error(qv::kScanErrorDomain, qv::kVertexFileError,
                         "The vertex data file of the point cloud is missing; the slice was not stored",
                         {{qv::Error::kFilePathKey, path}});
    }
    QVLogError("The vertex data file %s of a point cloud is missing", path.c_str());
    return false;
  }
  auto offset = qv::appendToFile(path, bytes, error);
  if (!offset) return false;
  slice.setDataOffset(static_cast<std::int64_t>(*offset));
  return true;
}

std::optional<std::vector<QVLSliceVertex>> QVSDPointCloud::readSliceGrid(qv::Error* error) const {
  auto self = std::dynamic_pointer_cast<const QVSDPointCloud>(shared_from_this());
  auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(std::const_pointer_cast<QVSDPointCloud>(self));
  std::vector<QVLSliceVertex> grid;
  if (slices.empty()) return grid;
  const std::string path = vertexDataFilePath().value_or("");
  if (path.empty()) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kVertexFileError, "The point cloud names no vertex data file");
    return std::nullopt;
  }
  auto data = qv::readWholeFile(path, error);
  if (!data) return std::nullopt;
  grid.resize(slices.size() * qv::kSliceBlockRows);
  for (std::size_t s = 0; s < slices.size(); ++s) {
    const auto offset = slices[s]->dataOffset();
    if (!offset || *offset < 0 || static_cast<std::uint64_t>(*offset) + qv::kSliceBlockBytes > data->size()) {
      if (error) {
        *error = qv::Error(qv::kScanErrorDomain, qv::kVertexFileError,
                           "A slice's block lies outside the point cloud's vertex data file",
                           {{qv::Error::kFilePathKey, path}, {qv::Error::kOffsetKey, offset.value_or(-1)}});
      }
      return std::nullopt;
    }
    std::memcpy(grid.data() + s * qv::kSliceBlockRows, data->data() + *offset, qv::kSliceBlockBytes);
  }
  return grid;
}
