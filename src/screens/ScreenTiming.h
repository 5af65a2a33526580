// The one place animation durations come from, so tests can run every animation instantly.
#pragma once

namespace qv::screens {

// Every animation of the screens asks here for its duration. A scale of 0 (what tests set) makes
// each one end at once, with its completion still called.
double animationScale();
void setAnimationScale(double scale);
// The designed duration in seconds, scaled.
double animationSeconds(double designedSeconds);
// The same in whole milliseconds, for the widget toolkit's animations.
int animationMilliseconds(double designedSeconds);

}  // namespace qv::screens
