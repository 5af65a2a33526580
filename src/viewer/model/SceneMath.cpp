// 4 x 4 transforms in the scene's row-vector convention.
#include "viewer/model/SceneMath.h"

namespace qv::scene {

Mat4 Mat4::translation(Vec3 t) {
  Mat4 out;
  out.setTranslation(t);
  return out;
}

Mat4 Mat4::rotation(Vec3 axis, float angle) {
  const float len = length(axis);
  if (len == 0.0f) return {};
  const float x = axis.x / len, y = axis.y / len, z = axis.z / len;
  const float c = std::cos(angle), s = std::sin(angle), t = 1.0f - c;
  Mat4 r;
  // The transpose of the column-vector axis-angle matrix: the same turn for row vectors.
  r.at(0, 0) = t * x * x + c;
  r.at(0, 1) = t * x * y + s * z;
  r.at(0, 2) = t * x * z - s * y;
  r.at(1, 0) = t * x * y - s * z;
  r.at(1, 1) = t * y * y + c;
  r.at(1, 2) = t * y * z + s * x;
  r.at(2, 0) = t * x * z + s * y;
  r.at(2, 1) = t * y * z - s * x;
  r.at(2, 2) = t * z * z + c;
  return r;
}

Mat4 Mat4::perspective(float fovYDegrees, float aspect, float zNear, float zFar) {
  const float f = 1.0f / std::tan(fovYDegrees * 3.14159265358979f / 360.0f);
  Mat4 p;
  p.m.fill(0);
  p.at(0, 0) = f / aspect;
  p.at(1, 1) = f;
  p.at(2, 2) = (zFar + zNear) / (zNear - zFar);
  p.at(2, 3) = -1.0f;
  p.at(3, 2) = 2.0f * zFar * zNear / (zNear - zFar);
  return p;
}

Mat4 Mat4::rigidInverse() const {
  Mat4 inv;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) inv.at(r, c) = at(c, r);
  const Vec3 t = translationPart();
  for (int c = 0; c < 3; ++c) inv.at(3, c) = -(t.x * inv.at(0, c) + t.y * inv.at(1, c) + t.z * inv.at(2, c));
  return inv;
}

Mat4 operator*(const Mat4& a, const Mat4& b) {
  Mat4 out;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += a.at(r, k) * b.at(k, c);
      out.at(r, c) = sum;
    }
  return out;
}

Vec3 transformPoint(const Mat4& m, Vec3 p, float* w) {
  const float x = p.x * m.at(0, 0) + p.y * m.at(1, 0) + p.z * m.at(2, 0) + m.at(3, 0);
  const float y = p.x * m.at(0, 1) + p.y * m.at(1, 1) + p.z * m.at(2, 1) + m.at(3, 1);
  const float z = p.x * m.at(0, 2) + p.y * m.at(1, 2) + p.z * m.at(2, 2) + m.at(3, 2);
  if (w) *w = p.x * m.at(0, 3) + p.y * m.at(1, 3) + p.z * m.at(2, 3) + m.at(3, 3);
  return {x, y, z};
}

}  // namespace qv::scene
