// The laser-line point's derived values.
#include "acquisition/QVSImageLaserPoint.h"

#include "platform/Format.h"

std::uint8_t QVSImageLaserPoint::lumina() const {
  if (!sourceImagePixelColour_) return 0;
  const qv::Colour& c = *sourceImagePixelColour_;
  const double luma = 255.0 * (0.2126 * c.red + 0.7152 * c.green + 0.0722 * c.blue);
  return static_cast<std::uint8_t>(static_cast<int>(luma));
}

std::string QVSImageLaserPoint::description() const {
  return qv::format("(%0.0f,%d)", static_cast<double>(x_), y_);
}
