// The General preferences pane's rules: which fields take the focus when an override is switched
// on, how strongly the rotation labels show, and the scanner reset.
#pragma once

#include <functional>
#include <memory>

#include "platform/Settings.h"
#include "screens/ControlRules.h"

namespace qv::screens {

// `QVLGeneralPreferencesDelegate`: the application resets the scanner for the pane.
class GeneralPreferencesDelegate {
public:
  virtual ~GeneralPreferencesDelegate() = default;
  virtual void resetScannerForPreferences() = 0;
};

class GeneralPreferencesView {
public:
  virtual ~GeneralPreferencesView() = default;
  virtual void focusLaser1ExposureField() = 0;
  virtual void focusDegreesToRotateField() = 0;
  virtual void setScanRotationLabelColour(Rgba colour) = 0;
};

class GeneralPreferencesPresenter : public std::enable_shared_from_this<GeneralPreferencesPresenter> {
public:
  static constexpr const char* kIdentifier = "GeneralPreferences";
  static constexpr const char* kLabel = "General";

  static std::shared_ptr<GeneralPreferencesPresenter> create(qv::Settings& settings, GeneralPreferencesView& view);
  ~GeneralPreferencesPresenter();

  void setDelegate(GeneralPreferencesDelegate* delegate) { delegate_ = delegate; }
  // The fixed rotation step is in force only with the override on and adaptive scanning off.
  Rgba scanRotationLabelColour() const;
  void updateLabelColours();
  void resetConnection();

private:
  GeneralPreferencesPresenter(qv::Settings& settings, GeneralPreferencesView& view) : settings_(settings), view_(view) {}
  void settingChanged(const std::string& key);

  qv::Settings& settings_;
  GeneralPreferencesView& view_;
  GeneralPreferencesDelegate* delegate_ = nullptr;
  qv::Settings::Token token_ = 0;
};

}  // namespace qv::screens
