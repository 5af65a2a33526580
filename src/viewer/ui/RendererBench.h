// The renderer's part of the viewer benchmark: frame times under a display (Xvfb when none).
#pragma once

#include <vector>

#include "store/QVLScanVertex.h"

namespace qv::bench {

// Without a display, runs the program again under xvfb-run and answers true once that run
// ended (the caller then stops); false to carry on in this process.
bool reexecUnderDisplay(int argc, char** argv);
// Median milliseconds of one frame drawing the vertices as points at 1280 x 960; -1 without GL.
double renderFrameMs(int argc, char** argv, const std::vector<QVLScanVertex>& vertices);

}  // namespace qv::bench
