// One laser pass of the loaded scan as a row of the layer table.
#include "viewer/model/QVLLayerState.h"

#include "platform/Format.h"

std::string QVLLayerState::layerName() const { return qv::format("Layer %d (%d pts)", layerNumber, numberOfPoints); }
