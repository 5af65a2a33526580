// The launch's clean-up step: removing intermediate files left by earlier runs. The shell fills it
// in (it owns the store work of shutdown and clean-up); without one the launch skips the step.
#pragma once

class QVLCleanUpHook {
public:
  virtual ~QVLCleanUpHook() = default;
  // Starts the clean-up and returns at once; the work runs on the store's private-queue context.
  virtual void removeIntermediateFiles() = 0;
};
