// One texture photograph's camera: pose, intrinsics, image size and file, and what derives from them.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <utility>

#include "platform/Value.h"

// The 3D viewer makes one per stored texture of a scan, loads the photo through it and projects
// points of a reference plane in front of the camera onto the photo with the derived values
// (principal point from the far edges, length per pixel on the reference plane, the rotation
// that takes the camera's up onto +Y and its normal onto +Z). The record is never stored as
// such. No locks: one record's images are loaded from one thread at a time.
class QVLTexture {
public:
  // Distance to the reference plane 10, image 1280 x 960, every other number 0, no images,
  // matrixOffset all zeros. The derived values are computed only by initializeTexture().
  QVLTexture() = default;

  // A record from the dictionary form, with its derived values computed. Nothing for an empty
  // dictionary.
  static std::shared_ptr<QVLTexture> textureFromJsonDictionary(const qv::Dictionary& dictionary);

  // A record from a stored texture's attributes ("textureFileName", "cameraPositionX" ...
  // "cameraUpZ", "distortion0" ... "distortion3", "intrinsicCX" ... "intrinsicFY"), with its
  // derived values computed. Distance and image size keep their defaults whatever the store holds.
  static std::shared_ptr<QVLTexture> textureFromStoredAttributes(const qv::Dictionary& attributes);

  // Reads the dictionary form into this record: the file name, then every number (absent, null
  // or non-numeric members read as 0). "distanceToCenter" is taken only when it is non-zero.
  // The image size is taken only when both "cameraWidth" and "cameraHeight" are positive;
  // otherwise both keep the default 1280 x 960.
  void initWithJsonDictionary(const qv::Dictionary& dictionary);

  // The dictionary form: 21 entries, the file name ("" when there is none) and the numbers of the
  // pose, image size, distortion, distance and intrinsics. Numbers that are not finite are null.
  qv::Dictionary jsonDictionary() const;

  // Computes centerX/Y, millimetersPerPoint and matrixOffset from the other values.
  void initializeTexture();

  // The photo in RGB order (CV_8UC3), loaded on first use from textureFileName as a path, else
  // as a name in the application library folder. Empty when neither can be read; a later call
  // tries again. Changing the file name does not drop an image already loaded.
  cv::Mat textureImage();
  void setTextureImage(cv::Mat image) { textureImage_ = std::move(image); }
  // The same photo mirrored top to bottom, with its own cache.
  cv::Mat flippedTextureImage();
  void setFlippedTextureImage(cv::Mat image) { flippedTextureImage_ = std::move(image); }

  // The camera position as stored.
  Eigen::Vector3d cameraPosition() const { return {cameraPositionX_, cameraPositionY_, cameraPositionZ_}; }
  // The viewing direction and up direction made unit length (zero when they are zero).
  Eigen::Vector3d cameraNormal() const;
  Eigen::Vector3d cameraUp() const;
  // Where the optical axis meets the reference plane: position + distance x unit normal.
  Eigen::Vector3d cameraPlane() const;
  // The setters store the three components unchanged, without normalising.
  void setCameraPosition(const Eigen::Vector3d& position);
  void setCameraNormal(const Eigen::Vector3d& normal);
  void setCameraUp(const Eigen::Vector3d& up);

  double centerX() const { return centerX_; }
  void setCenterX(double value) { centerX_ = value; }
  double centerY() const { return centerY_; }
  void setCenterY(double value) { centerY_ = value; }
  double distanceToCenter() const { return distanceToCenter_; }
  void setDistanceToCenter(double value) { distanceToCenter_ = value; }
  double distortion0() const { return distortion0_; }
  void setDistortion0(double value) { distortion0_ = value; }
  double distortion1() const { return distortion1_; }
  void setDistortion1(double value) { distortion1_ = value; }
  double distortion2() const { return distortion2_; }
  void setDistortion2(double value) { distortion2_ = value; }
  double distortion3() const { return distortion3_; }
  void setDistortion3(double value) { distortion3_ = value; }
  double intrinsicCX() const { return intrinsicCX_; }
  void setIntrinsicCX(double value) { intrinsicCX_ = value; }
  double intrinsicCY() const { return intrinsicCY_; }
  void setIntrinsicCY(double value) { intrinsicCY_ = value; }
  double intrinsicFX() const { return intrinsicFX_; }
  void setIntrinsicFX(double value) { intrinsicFX_ = value; }
  double intrinsicFY() const { return intrinsicFY_; }
  void setIntrinsicFY(double value) { intrinsicFY_ = value; }
  double cameraHeight() const { return cameraHeight_; }
  void setCameraHeight(double value) { cameraHeight_ = value; }
  double cameraPositionX() const { return cameraPositionX_; }
  void setCameraPositionX(double value) { cameraPositionX_ = value; }
  double cameraPositionY() const { return cameraPositionY_; }
  void setCameraPositionY(double value) { cameraPositionY_ = value; }
  double cameraPositionZ() const { return cameraPositionZ_; }
  void setCameraPositionZ(double value) { cameraPositionZ_ = value; }
  double cameraNormX() const { return cameraNormX_; }
  void setCameraNormX(double value) { cameraNormX_ = value; }
  double cameraNormY() const { return cameraNormY_; }
  void setCameraNormY(double value) { cameraNormY_ = value; }
  double cameraNormZ() const { return cameraNormZ_; }
  void setCameraNormZ(double value) { cameraNormZ_ = value; }
  double cameraUpX() const { return cameraUpX_; }
  void setCameraUpX(double value) { cameraUpX_ = value; }
  double cameraUpY() const { return cameraUpY_; }
  void setCameraUpY(double value) { cameraUpY_ = value; }
  double cameraUpZ() const { return cameraUpZ_; }
  void setCameraUpZ(double value) { cameraUpZ_ = value; }
  double cameraWidth() const { return cameraWidth_; }
  void setCameraWidth(double value) { cameraWidth_ = value; }
  double millimetersPerPoint() const { return millimetersPerPoint_; }
  void setMillimetersPerPoint(double value) { millimetersPerPoint_ = value; }

  // The photo's file name: a path, or a name inside the application library folder.
  const std::string& textureFileName() const { return textureFileName_; }
  void setTextureFileName(std::string name) { textureFileName_ = std::move(name); }

  // The texture atlas's texture-coordinate block; opaque here.
  const qv::Data& textureCoordinatesData() const { return textureCoordinatesData_; }
  void setTextureCoordinatesData(qv::Data data) { textureCoordinatesData_ = std::move(data); }

  // Rotation expressing a world offset in the camera's own axes (right, up, viewing direction).
  const Eigen::Matrix3d& matrixOffset() const { return matrixOffset_; }
  void setMatrixOffset(const Eigen::Matrix3d& matrix) { matrixOffset_ = matrix; }

private:
  void readNumbers(const qv::Dictionary& dictionary);
  cv::Mat loadImage(bool flipped) const;

  double centerX_ = 0.0;
  double centerY_ = 0.0;
  double distanceToCenter_ = 10.0;
  double distortion0_ = 0.0;
  double distortion1_ = 0.0;
  double distortion2_ = 0.0;
  double distortion3_ = 0.0;
  double intrinsicCX_ = 0.0;
  double intrinsicCY_ = 0.0;
  double intrinsicFX_ = 0.0;
  double intrinsicFY_ = 0.0;
  double cameraHeight_ = 960.0;
  double cameraPositionX_ = 0.0;
  double cameraPositionY_ = 0.0;
  double cameraPositionZ_ = 0.0;
  double cameraNormX_ = 0.0;
  double cameraNormY_ = 0.0;
  double cameraNormZ_ = 0.0;
  double cameraUpX_ = 0.0;
  double cameraUpY_ = 0.0;
  double cameraUpZ_ = 0.0;
  double cameraWidth_ = 1280.0;
  double millimetersPerPoint_ = 0.0;
  std::string textureFileName_;
  qv::Data textureCoordinatesData_;
  cv::Mat textureImage_;
  cv::Mat flippedTextureImage_;
  Eigen::Matrix3d matrixOffset_ = Eigen::Matrix3d::Zero();
};

namespace qv {

// The rotation of a texture camera (up and viewing direction, of any non-zero length) that turns
// its up onto +Y and then its viewing direction onto +Z about +Y, made of three turns about X, Z
// and Y in that order. A turn whose direction is undefined (up already in the XY plane along X,
// or a viewing direction along the up) is no turn.
Eigen::Matrix3d textureCameraFromWorld(const Eigen::Vector3d& up, const Eigen::Vector3d& normal);

// The length on the reference plane at distance_mm that one pixel covers, for an image width_px
// wide with focal length focal_px (through the field of view, as the texture projection does).
double textureMillimetersPerPoint(double width_px, double focal_px, double distance_mm);

}  // namespace qv
