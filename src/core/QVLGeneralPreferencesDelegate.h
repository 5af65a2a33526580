// How the General preferences pane reaches the application core.
#pragma once

class QVLGeneralPreferencesDelegate {
public:
  virtual ~QVLGeneralPreferencesDelegate() = default;
  // The user asked for a scanner reset; no result is expected.
  virtual void resetScannerForPreferences() = 0;
};
