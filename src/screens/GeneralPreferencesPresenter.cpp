// The General preferences pane's rules.
#include "screens/GeneralPreferencesPresenter.h"

#include "platform/Queue.h"

namespace qv::screens {

std::shared_ptr<GeneralPreferencesPresenter> GeneralPreferencesPresenter::create(qv::Settings& settings,
                                                                                 GeneralPreferencesView& view) {
  std::shared_ptr<GeneralPreferencesPresenter> self(new GeneralPreferencesPresenter(settings, view));
  self->updateLabelColours();
  std::weak_ptr<GeneralPreferencesPresenter> weak = self;
  self->token_ = settings.addChangeListener([weak](const std::string& key) {
    if (key != "OverrideAutoTuning" && key != "OverrideScanRotationAndHeight" && key != "EnableAdaptiveScanning") return;
    // Settings change on any thread; the pane reacts on the main queue.
    qv::mainQueue()->async([weak, key] {
      if (auto self = weak.lock()) self->settingChanged(key);
    });
  });
  return self;
}

GeneralPreferencesPresenter::~GeneralPreferencesPresenter() { settings_.removeChangeListener(token_); }

Rgba GeneralPreferencesPresenter::scanRotationLabelColour() const {
  const bool fixedStep = settings_.boolForKey("OverrideScanRotationAndHeight") && !settings_.boolForKey("EnableAdaptiveScanning");
  return enableToColour(fixedStep);
}

void GeneralPreferencesPresenter::updateLabelColours() { view_.setScanRotationLabelColour(scanRotationLabelColour()); }

void GeneralPreferencesPresenter::settingChanged(const std::string& key) {
  std::weak_ptr<GeneralPreferencesPresenter> weak = weak_from_this();
  if (key == "OverrideAutoTuning") {
    // The user turned manual exposures on and can type them at once.
    if (settings_.boolForKey(key))
      qv::after(qv::seconds(0.1), qv::mainQueue(), [weak] {
        if (auto self = weak.lock()) self->view_.focusLaser1ExposureField();
      });
  } else if (key == "OverrideScanRotationAndHeight") {
    qv::after(qv::seconds(0.1), qv::mainQueue(), [weak] {
      auto self = weak.lock();
      if (self && self->settings_.boolForKey("OverrideScanRotationAndHeight")) self->view_.focusDegreesToRotateField();
    });
    updateLabelColours();
  } else {
    updateLabelColours();
  }
}

void GeneralPreferencesPresenter::resetConnection() {
  if (delegate_) delegate_->resetScannerForPreferences();
}

}  // namespace qv::screens
