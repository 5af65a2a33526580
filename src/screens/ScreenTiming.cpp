// The process-wide animation scale.
#include "screens/ScreenTiming.h"

#include <atomic>
#include <cmath>

namespace qv::screens {
namespace {
std::atomic<double> g_scale{1.0};
}

double animationScale() { return g_scale.load(std::memory_order_relaxed); }
void setAnimationScale(double scale) { g_scale.store(scale < 0 ? 0.0 : scale, std::memory_order_relaxed); }
double animationSeconds(double designedSeconds) { return designedSeconds * animationScale(); }
int animationMilliseconds(double designedSeconds) {
  return static_cast<int>(std::lround(animationSeconds(designedSeconds) * 1000.0));
}

}  // namespace qv::screens
