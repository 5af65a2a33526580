// The texture record's dictionary form, derived projection values and lazy photo loading.
#include "records/QVLTexture.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/Paths.h"
#include "records/RecordNumbers.h"

namespace {

using Getter = double (QVLTexture::*)() const;
using Setter = void (QVLTexture::*)(double);

struct NumberField {
  const char* key;
  Getter get;
  Setter set;
};

#define QVL_NUMBER(name, Name) \
  NumberField { #name, &QVLTexture::name, &QVLTexture::set##Name }

// The pose, distortion and intrinsics, in the order they are read (intrinsics FX, FY, CX, CY).
// The store's texture attributes carry the same names.
const NumberField kCameraFields[] = {
    QVL_NUMBER(cameraPositionX, CameraPositionX), QVL_NUMBER(cameraPositionY, CameraPositionY),
    QVL_NUMBER(cameraPositionZ, CameraPositionZ), QVL_NUMBER(cameraNormX, CameraNormX),
    QVL_NUMBER(cameraNormY, CameraNormY),         QVL_NUMBER(cameraNormZ, CameraNormZ),
    QVL_NUMBER(cameraUpX, CameraUpX),             QVL_NUMBER(cameraUpY, CameraUpY),
    QVL_NUMBER(cameraUpZ, CameraUpZ),             QVL_NUMBER(distortion0, Distortion0),
    QVL_NUMBER(distortion1, Distortion1),         QVL_NUMBER(distortion2, Distortion2),
    QVL_NUMBER(distortion3, Distortion3),         QVL_NUMBER(intrinsicFX, IntrinsicFX),
    QVL_NUMBER(intrinsicFY, IntrinsicFY),         QVL_NUMBER(intrinsicCX, IntrinsicCX),
    QVL_NUMBER(intrinsicCY, IntrinsicCY),
};

// The order the dictionary form is written in.
const NumberField kWrittenFields[] = {
    QVL_NUMBER(cameraPositionX, CameraPositionX), QVL_NUMBER(cameraPositionY, CameraPositionY),
    QVL_NUMBER(cameraPositionZ, CameraPositionZ), QVL_NUMBER(cameraNormX, CameraNormX),
    QVL_NUMBER(cameraNormY, CameraNormY),         QVL_NUMBER(cameraNormZ, CameraNormZ),
    QVL_NUMBER(cameraUpX, CameraUpX),             QVL_NUMBER(cameraUpY, CameraUpY),
    QVL_NUMBER(cameraUpZ, CameraUpZ),             QVL_NUMBER(cameraWidth, CameraWidth),
    QVL_NUMBER(cameraHeight, CameraHeight),       QVL_NUMBER(distortion0, Distortion0),
    QVL_NUMBER(distortion1, Distortion1),         QVL_NUMBER(distortion2, Distortion2),
    QVL_NUMBER(distortion3, Distortion3),         QVL_NUMBER(distanceToCenter, DistanceToCenter),
    QVL_NUMBER(intrinsicFX, IntrinsicFX),         QVL_NUMBER(intrinsicFY, IntrinsicFY),
    QVL_NUMBER(intrinsicCX, IntrinsicCX),         QVL_NUMBER(intrinsicCY, IntrinsicCY),
};

#undef QVL_NUMBER

// A member read as a number; absent, null and non-numeric members read as nothing.
std::optional<double> numberFor(const qv::Dictionary& dictionary, const char* key) {
  const qv::Value* value = qv::find(dictionary, key);
  return value ? qv::numberFromValue(*value) : std::nullopt;
}

std::string fileNameFor(const qv::Dictionary& dictionary) {
  const qv::Value* value = qv::find(dictionary, "textureFileName");
  const std::string* text = value ? value->string() : nullptr;
  return text ? *text : std::string();
}

// The angle that turns a unit vector v, seen in a plane, onto the plane's reference axis: acos of
// its reference component, clamped, so rounding just past 1 gives 0 rather than not-a-number.
double angleTo(double reference_component) { return std::acos(std::clamp(reference_component, -1.0, 1.0)); }

// A photo read in colour, in RGB order, optionally mirrored top to bottom; empty when unreadable.
cv::Mat readPhoto(const std::string& path, bool flipped) {
  cv::Mat bgr;
  try {
    bgr = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    return {};  // a damaged file is treated like a missing one
  }
  if (bgr.empty()) return {};
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  if (!flipped) return rgb;
  cv::Mat mirrored;
  cv::flip(rgb, mirrored, 0);
  return mirrored;
}

}  // namespace

std::shared_ptr<QVLTexture> QVLTexture::textureFromJsonDictionary(const qv::Dictionary& dictionary) {
  if (dictionary.empty()) return nullptr;
  auto texture = std::make_shared<QVLTexture>();
  texture->initWithJsonDictionary(dictionary);
  texture->initializeTexture();
  return texture;
}

std::shared_ptr<QVLTexture> QVLTexture::textureFromStoredAttributes(const qv::Dictionary& attributes) {
  auto texture = std::make_shared<QVLTexture>();
  texture->textureFileName_ = fileNameFor(attributes);
  texture->readNumbers(attributes);
  texture->initializeTexture();
  return texture;
}

void QVLTexture::initWithJsonDictionary(const qv::Dictionary& dictionary) {
  *this = QVLTexture();
  textureFileName_ = fileNameFor(dictionary);
  readNumbers(dictionary);
  if (const double distance = numberFor(dictionary, "distanceToCenter").value_or(0.0); distance != 0.0) {
    distanceToCenter_ = distance;
  }
  // The size is read as a pair: when either is given both are taken as written (a missing one
  // reads as 0), so a record reads back exactly as the file that carried it describes it; only a
  // dictionary with neither keeps the default 1280 x 960.
  const double width = numberFor(dictionary, "cameraWidth").value_or(0.0);
  const double height = numberFor(dictionary, "cameraHeight").value_or(0.0);
  if (width != 0.0 || height != 0.0) {
    cameraWidth_ = width;
    cameraHeight_ = height;
  }
}

void QVLTexture::readNumbers(const qv::Dictionary& dictionary) {
  for (const NumberField& field : kCameraFields) (this->*field.set)(numberFor(dictionary, field.key).value_or(0.0));
}

qv::Dictionary QVLTexture::jsonDictionary() const {
  qv::Dictionary dictionary;
  dictionary["textureFileName"] = textureFileName_;
  for (const NumberField& field : kWrittenFields) dictionary[field.key] = qv::valueForNumber((this->*field.get)());
  return dictionary;
}

void QVLTexture::initializeTexture() {
  centerX_ = cameraWidth_ - intrinsicCX_;
  centerY_ = cameraHeight_ - intrinsicCY_;
  millimetersPerPoint_ = qv::textureMillimetersPerPoint(cameraWidth_, intrinsicFX_, distanceToCenter_);
  matrixOffset_ = qv::textureCameraFromWorld(cameraUp(), cameraNormal());
}

cv::Mat QVLTexture::textureImage() {
  if (textureImage_.empty()) textureImage_ = loadImage(false);
  return textureImage_;
}

cv::Mat QVLTexture::flippedTextureImage() {
  if (flippedTextureImage_.empty()) flippedTextureImage_ = loadImage(true);
  return flippedTextureImage_;
}

cv::Mat QVLTexture::loadImage(bool flipped) const {
  // No named-image lookup exists here: the photo is a path, or a name in the library folder.
  if (textureFileName_.empty()) return {};
  cv::Mat image = readPhoto(textureFileName_, flipped);
  if (image.empty()) image = readPhoto((qv::paths::applicationLibraryPath() / textureFileName_).string(), flipped);
  return image;
}

Eigen::Vector3d QVLTexture::cameraNormal() const {
  return Eigen::Vector3d(cameraNormX_, cameraNormY_, cameraNormZ_).normalized();
}

Eigen::Vector3d QVLTexture::cameraUp() const { return Eigen::Vector3d(cameraUpX_, cameraUpY_, cameraUpZ_).normalized(); }

Eigen::Vector3d QVLTexture::cameraPlane() const { return cameraPosition() + distanceToCenter_ * cameraNormal(); }

void QVLTexture::setCameraPosition(const Eigen::Vector3d& position) {
  cameraPositionX_ = position.x();
  cameraPositionY_ = position.y();
  cameraPositionZ_ = position.z();
}

void QVLTexture::setCameraNormal(const Eigen::Vector3d& normal) {
  cameraNormX_ = normal.x();
  cameraNormY_ = normal.y();
  cameraNormZ_ = normal.z();
}

void QVLTexture::setCameraUp(const Eigen::Vector3d& up) {
  cameraUpX_ = up.x();
  cameraUpY_ = up.y();
  cameraUpZ_ = up.z();
}

namespace qv {

Eigen::Matrix3d textureCameraFromWorld(const Eigen::Vector3d& up, const Eigen::Vector3d& normal) {
  const Eigen::Vector3d u = up.normalized();
  const Eigen::Vector3d d = normal.normalized();

  // About X until the up lies in the XY plane. An up with no Y or Z part is there already.
  double a1 = 0.0;
  const Eigen::Vector3d up_yz = Eigen::Vector3d(0.0, u.y(), u.z()).normalized();
  if (!up_yz.isZero(0.0)) {
    a1 = angleTo(up_yz.y());
    if (up_yz.z() > 0.0) a1 = -a1;
  }
  const Eigen::Matrix3d r1 = Eigen::AngleAxisd(a1, Eigen::Vector3d::UnitX()).toRotationMatrix();
  const Eigen::Vector3d u1 = r1 * u;
  const Eigen::Vector3d d1 = r1 * d;

  // About Z until the up lies on +Y.
  double a2 = 0.0;
  const Eigen::Vector3d up_xy = Eigen::Vector3d(u1.x(), u1.y(), 0.0).normalized();
  if (!up_xy.isZero(0.0)) {
    a2 = angleTo(up_xy.y());
    if (up_xy.x() < 0.0) a2 = -a2;
  }
  const Eigen::Matrix3d r2 = Eigen::AngleAxisd(a2, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  const Eigen::Vector3d d2 = r2 * d1;

  // About Y until the viewing direction lies on +Z. A direction along the up has no such turn.
  double a3 = 0.0;
  const Eigen::Vector3d d_xz = Eigen::Vector3d(d2.x(), 0.0, d2.z()).normalized();
  if (!d_xz.isZero(0.0)) {
    a3 = angleTo(d_xz.z());
    if (d_xz.x() > 0.0) a3 = -a3;
  }
  const Eigen::Matrix3d r3 = Eigen::AngleAxisd(a3, Eigen::Vector3d::UnitY()).toRotationMatrix();

  return r3 * (r2 * r1);
}

double textureMillimetersPerPoint(double width_px, double focal_px, double distance_mm) {
  // Through the field of view in degrees and back, exactly as the texture projection has always
  // computed it; up to rounding this is distance_mm / focal_px.
  const double half_angle = std::atan((width_px * 0.5) / focal_px);
  const double fov_deg = 2.0 * half_angle * 57.29577951308232;
  const double t = std::tan(fov_deg * 0.5 / 180.0 * 3.141592653589793);
  return (distance_mm * t * 2.0) / width_px;
}

}  // namespace qv
