// The texture entity: camera vectors, factory, look-ups and copying with its image file.
#include "store/QVSDTexture.h"

#include "store/QVSDScanObject.h"
#include "store/VertexRecords.h"
#include "store/internal/EntityHelpers.h"

Eigen::Vector3d QVSDTexture::cameraPosition() const {
  return {cameraPositionX().value_or(0), cameraPositionY().value_or(0), cameraPositionZ().value_or(0)};
}
void QVSDTexture::setCameraPosition(const Eigen::Vector3d& position) {
  setCameraPositionX(position.x());
  setCameraPositionY(position.y());
  setCameraPositionZ(position.z());
}
Eigen::Vector3d QVSDTexture::cameraNorm() const {
  return {cameraNormX().value_or(0), cameraNormY().value_or(0), cameraNormZ().value_or(0)};
}
void QVSDTexture::setCameraNorm(const Eigen::Vector3d& normal) {
  setCameraNormX(normal.x());
  setCameraNormY(normal.y());
  setCameraNormZ(normal.z());
}
Eigen::Vector3d QVSDTexture::cameraUp() const {
  return {cameraUpX().value_or(0), cameraUpY().value_or(0), cameraUpZ().value_or(0)};
}
void QVSDTexture::setCameraUp(const Eigen::Vector3d& up) {
  setCameraUpX(up.x());
  setCameraUpY(up.y());
  setCameraUpZ(up.z());
}

std::shared_ptr<QVSDScanObject> QVSDTexture::scanObject() const {
  return std::dynamic_pointer_cast<QVSDScanObject>(toOne("scanObject"));
}

qv::Dictionary QVSDTexture::storedAttributes() const {
  qv::Dictionary out;
  for (const auto& a : entity().attributes()) {
    if (a.type == qv::AttributeType::String) {
      if (auto s = stringValue(a.name)) out[a.name] = *s;
    } else if (auto d = doubleValue(a.name)) {
      out[a.name] = *d;
    }
  }
  return out;
}

std::shared_ptr<QVSDTexture> QVSDTexture::createTextureInScanObject(const std::shared_ptr<QVSDScanObject>& scanObject) {
  if (!scanObject) return nullptr;
  auto context = scanObject->managedObjectContext();
  if (!context) return nullptr;
  auto texture = context->insertNewObject<QVSDTexture>();
  texture->setToOne("scanObject", scanObject);
  return texture;
}

std::vector<std::shared_ptr<QVSDTexture>> QVSDTexture::allTexturesInContext(qv::ObjectContext& context) {
  return context.fetch<QVSDTexture>(qv::FetchRequest(kEntityName));
}

std::shared_ptr<QVSDTexture> QVSDTexture::textureWithFilePath(const std::string& path, qv::ObjectContext& context) {
  return qv::entity::fetchFirst<QVSDTexture>(
      context, qv::FetchRequest(kEntityName).where("textureFileName", qv::Comparison::Equal, path));
}

bool QVSDTexture::copyFromTexture(const QVSDTexture& source, qv::Error* error) {
  qv::entity::copyAttributes(*this, source,
                             {"cameraPositionX", "cameraPositionY", "cameraPositionZ", "cameraNormX", "cameraNormY",
                              "cameraNormZ", "cameraOriginX", "cameraOriginY", "cameraOriginZ", "cameraUpX",
                              "cameraUpY", "cameraUpZ", "distortion0", "distortion1", "distortion2", "distortion3",
                              "intrinsicCX", "intrinsicCY", "intrinsicFX", "intrinsicFY"});
  return qv::entity::copyFileAttribute(*this, source, "textureFileName", error);
}

std::optional<std::string> QVSDTexture::copyFile(const std::string& path) const {
  auto context = managedObjectContext();
  if (!context) return std::nullopt;
  return qv::copyFileIntoFolder(path, context->filesFolder());
}
