// The preferences window's text fields and their link to the settings.
#include "screens/PreferenceFields.h"

#include <algorithm>
#include <charconv>
#include <memory>

#include "screens/QVLDegreeFormatter.h"
#include "screens/QVLMultiValueFormatter.h"

namespace qv::screens {
namespace {

std::string plainNumber(double v) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

}  // namespace

std::string preferenceFieldText(const qv::Settings& settings, const PreferenceField& field) {
  switch (field.kind) {
    case PreferenceFieldKind::Exposure:
      return std::to_string(settings.integerForKey(field.key));
    case PreferenceFieldKind::ExposureList: {
      // Shown in the formatter's one form ("50, 200") whichever screen wrote it.
      const std::string stored = settings.stringForKey(field.key).value_or("");
      std::string normal;
      return QVLMultiValueFormatter::getObjectValue(stored, &normal, nullptr) ? normal : stored;
    }
    case PreferenceFieldKind::RotationStep:
      return plainNumber(settings.doubleForKey(field.key));
  }
  return {};
}

bool commitPreferenceField(qv::Settings& settings, const PreferenceField& field, const std::string& text,
                           std::string* error) {
  switch (field.kind) {
    case PreferenceFieldKind::Exposure: {
      // The field's validator lets only up to four digits through while typing.
      int value = 0;
      const char* end = text.data() + text.size();
      auto [stop, ec] = std::from_chars(text.data(), end, value);
      if (text.empty() || ec != std::errc() || stop != end) {
        if (error) *error = "Please enter a number";
        return false;
      }
      if (settings.integerForKey(field.key) != value) settings.setValue(field.key, value);
      return true;
    }
    case PreferenceFieldKind::ExposureList: {
      std::vector<int> values, stored;
      if (!QVLMultiValueFormatter::parseValues(text, &values, error)) return false;
      // The stored text keeps its own form ("50,200" from the manual scan screen, "50, 200" from
      // a scan) unless the values themselves changed.
      const auto current = settings.stringForKey(field.key);
      if (current && QVLMultiValueFormatter::parseValues(*current, &stored, nullptr) && stored == values) return true;
      std::string normal;
      QVLMultiValueFormatter::getObjectValue(text, &normal, nullptr);
      settings.setValue(field.key, normal);
      return true;
    }
    case PreferenceFieldKind::RotationStep: {
      float value = 0;
      if (!QVLDegreeFormatter::getObjectValue(text, &value, error)) return false;
      if (static_cast<float>(settings.doubleForKey(field.key)) != value) settings.setValue(field.key, static_cast<double>(value));
      return true;
    }
  }
  return false;
}

PreferenceBindings::PreferenceBindings(qv::Settings& settings, std::vector<std::string> keys,
                                       std::function<void(const std::string& key)> changed)
    : settings_(settings) {
  token_ = settings_.addChangeListener([keys = std::move(keys), changed = std::move(changed)](const std::string& key) {
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) changed(key);
  });
}

PreferenceBindings::~PreferenceBindings() { settings_.removeChangeListener(token_); }

}  // namespace qv::screens
