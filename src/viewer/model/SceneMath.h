// 4 x 4 transforms in the scene's row-vector convention: a point p maps to p * M, so a child's
// world transform is local * parent and the translation sits in the last row.
#pragma once

#include <array>
#include <cmath>

namespace qv::scene {

struct Vec3 {
  float x = 0, y = 0, z = 0;
  friend bool operator==(const Vec3&, const Vec3&) = default;
};

inline float length(Vec3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// Row-major: m[4 * r + c] is row r, column c (both from 0).
struct Mat4 {
  std::array<float, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

  float& at(int r, int c) { return m[4 * r + c]; }
  float at(int r, int c) const { return m[4 * r + c]; }
  friend bool operator==(const Mat4&, const Mat4&) = default;

  static Mat4 identity() { return {}; }
  static Mat4 translation(Vec3 t);
  // Rotation by `angle` radians about a unit axis, as the scene framework writes it: about
  // (1, 0, 0) the entries are 11 = 1, 22 = 33 = cos a, 23 = sin a, 32 = -sin a.
  static Mat4 rotation(Vec3 axis, float angle);
  // A right-handed perspective projection into clip space (row-vector form): vertical field of
  // view in degrees, width over height, near and far planes.
  static Mat4 perspective(float fovYDegrees, float aspect, float zNear, float zFar);

  Vec3 translationPart() const { return {m[12], m[13], m[14]}; }
  void setTranslation(Vec3 t) {
    m[12] = t.x;
    m[13] = t.y;
    m[14] = t.z;
  }
  // The inverse of a rotation followed by a translation (no scale), as camera transforms are.
  Mat4 rigidInverse() const;
};

// a then b: p * (a * b) = (p * a) * b.
Mat4 operator*(const Mat4& a, const Mat4& b);

// p * M with w = 1; `w` receives the fourth coordinate.
Vec3 transformPoint(const Mat4& m, Vec3 p, float* w = nullptr);

}  // namespace qv::scene
