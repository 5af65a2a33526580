// One laser pass (point cloud) of the loaded scan as a row of the viewer's layer table.
#pragma once

#include <cstdint>
#include <string>

class QVLLayerState {
public:
  std::int16_t cloudId = 0;  // the cloud's lookupId, carried by each of its vertices
  float headHeight = 0;
  bool isEnabled = true;
  std::int32_t layerNumber = 0;  // 1-based position in layer order
  std::int32_t numberOfPoints = 0;
  std::int32_t numberOfVisiblePoints = 0;

  // "Layer %d (%d pts)".
  std::string layerName() const;
};
