// A stored texture photograph of a scan: the camera's pose and model, and the image file.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "store/EntityAccessors.h"
#include "store/ManagedObject.h"
#include "store/ObjectContext.h"

class QVSDScanObject;

class QVSDTexture : public qv::ManagedObject {
public:
  static constexpr const char* kEntityName = "QVSDTexture";

  QV_DOUBLE_ATTRIBUTE(cameraNormX, CameraNormX)
  QV_DOUBLE_ATTRIBUTE(cameraNormY, CameraNormY)
  QV_DOUBLE_ATTRIBUTE(cameraNormZ, CameraNormZ)
  QV_DOUBLE_ATTRIBUTE(cameraPositionX, CameraPositionX)
  QV_DOUBLE_ATTRIBUTE(cameraPositionY, CameraPositionY)
  QV_DOUBLE_ATTRIBUTE(cameraPositionZ, CameraPositionZ)
  QV_DOUBLE_ATTRIBUTE(cameraUpX, CameraUpX)
  QV_DOUBLE_ATTRIBUTE(cameraUpY, CameraUpY)
  QV_DOUBLE_ATTRIBUTE(cameraUpZ, CameraUpZ)
  QV_DOUBLE_ATTRIBUTE(distortion0, Distortion0)
  QV_DOUBLE_ATTRIBUTE(intrinsicCX, IntrinsicCX)
  QV_STRING_ATTRIBUTE(textureFileName, TextureFileName)
  QV_DOUBLE_ATTRIBUTE(cameraOriginX, CameraOriginX)
  QV_DOUBLE_ATTRIBUTE(cameraOriginY, CameraOriginY)
  QV_DOUBLE_ATTRIBUTE(cameraOriginZ, CameraOriginZ)
  QV_DOUBLE_ATTRIBUTE(distortion1, Distortion1)
  QV_DOUBLE_ATTRIBUTE(distortion2, Distortion2)
  QV_DOUBLE_ATTRIBUTE(distortion3, Distortion3)
  QV_DOUBLE_ATTRIBUTE(intrinsicCY, IntrinsicCY)
  QV_DOUBLE_ATTRIBUTE(intrinsicFX, IntrinsicFX)
  QV_DOUBLE_ATTRIBUTE(intrinsicFY, IntrinsicFY)

  Eigen::Vector3d cameraPosition() const;
  void setCameraPosition(const Eigen::Vector3d& position);
  Eigen::Vector3d cameraNorm() const;
  void setCameraNorm(const Eigen::Vector3d& normal);
  Eigen::Vector3d cameraUp() const;
  void setCameraUp(const Eigen::Vector3d& up);

  std::shared_ptr<QVSDScanObject> scanObject() const;

  // The attributes by name, numbers as doubles and the file name as text (unset ones left out):
  // what the in-memory texture record is made from.
  qv::Dictionary storedAttributes() const;

  static std::shared_ptr<QVSDTexture> createTextureInScanObject(const std::shared_ptr<QVSDScanObject>& scanObject);
  static std::vector<std::shared_ptr<QVSDTexture>> allTexturesInContext(qv::ObjectContext& context);
  static std::shared_ptr<QVSDTexture> textureWithFilePath(const std::string& path, qv::ObjectContext& context);

  // Copies another texture's camera values and its image (copied under a fresh name). False, with
  // the error (code 105, naming the copy), when the image is there but cannot be copied.
  bool copyFromTexture(const QVSDTexture& source, qv::Error* error = nullptr);
  std::optional<std::string> copyFile(const std::string& path) const;
};
