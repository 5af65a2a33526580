// How the preferences window's text fields show their settings and write edits back, and the
// link that keeps every control in step with settings that other screens write meanwhile (a
// scan's tuned exposures, the meshing sheet's levels, the manual scan screen's choices).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Settings.h"

namespace qv::screens {

enum class PreferenceFieldKind {
  Exposure,      // one whole exposure ("CameraNonLaserExposureSetting")
  ExposureList,  // a laser's exposure with its alternate, if any: "50" or "50,200"
  RotationStep,  // degrees that divide 360 ("ScanRotationInDegrees")
};

struct PreferenceField {
  std::string key;
  PreferenceFieldKind kind = PreferenceFieldKind::Exposure;
};

// What the field shows for the setting as it is now. An exposure list shows every exposure it
// holds, so a laser's alternate exposure is never dropped from view.
std::string preferenceFieldText(const qv::Settings& settings, const PreferenceField& field);

// Writes the edited text. A text the field's formatter refuses leaves the setting as it was and
// answers false with the formatter's message; a text that reads as the stored value writes
// nothing (leaving a field must not rewrite what a scan stored).
bool commitPreferenceField(qv::Settings& settings, const PreferenceField& field, const std::string& text,
                           std::string* error = nullptr);

// Calls `changed` with the key whenever one of `keys` is set or removed, on the thread that
// changed it; stops when destroyed.
class PreferenceBindings {
public:
  PreferenceBindings(qv::Settings& settings, std::vector<std::string> keys,
                     std::function<void(const std::string& key)> changed);
  ~PreferenceBindings();
  PreferenceBindings(const PreferenceBindings&) = delete;
  PreferenceBindings& operator=(const PreferenceBindings&) = delete;

private:
  qv::Settings& settings_;
  qv::Settings::Token token_ = 0;
};

}  // namespace qv::screens
