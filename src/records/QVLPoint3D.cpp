// Printing a triangulated point.
#include "records/QVLPoint3D.h"

#include "platform/Format.h"

std::string QVLPoint3D::description() const {
  return qv::format("(%.2f, %.2f, %.2f)", static_cast<double>(point3DX), static_cast<double>(point3DY),
                    static_cast<double>(point3DZ));
}
