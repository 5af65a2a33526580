// The manual scan screen's setting fields: values, table positions and texts kept in step, the
// laser 2 lock, the option toggles, loading, factory values, mending and saving.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/QVLRegisteredDefaults.h"
#include "platform/Text.h"
#include "screens/AdvancedScanPresenter.h"

namespace qv::screens {

using F = AdvancedScanField;

namespace {

constexpr int kBedIndex = 6;

int at(F field) { return static_cast<int>(field); }
bool isLaser(F field) { return field >= F::Laser1Exposure && field <= F::Laser2AlternateExposure; }
bool isAlternate(F field) { return field == F::Laser1AlternateExposure || field == F::Laser2AlternateExposure; }

template <typename T>
T tableEntry(const std::vector<T>& table, std::int64_t index) {
  if (table.empty()) return T{};
  return table[static_cast<std::size_t>(std::clamp<std::int64_t>(index, 0, static_cast<std::int64_t>(table.size()) - 1))];
}

// The position of an equal entry, else of the first nearest one (ties keep the lower position).
template <typename T, typename D>
std::int64_t closestIndex(const std::vector<T>& table, T value, D startDistance) {
  std::int64_t best = 0;
  D bestDistance = startDistance;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i] == value) return static_cast<std::int64_t>(i);
    // Computed wide, so that no table entry and no typed value can overflow the difference.
    const long double distance = std::fabs(static_cast<long double>(table[i]) - static_cast<long double>(value));
    if (distance < static_cast<long double>(bestDistance)) {
      bestDistance = static_cast<D>(distance);
      best = static_cast<std::int64_t>(i);
    }
  }
  return best;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

const char* fieldIdentifier(AdvancedScanField field) {
  static const char* const names[kAdvancedScanFieldCount] = {
      "ColourCapture",           "WhiteBalance", "Laser1Exposure",     "Laser2Exposure",    "Laser1AlternateExposure",
      "Laser2AlternateExposure", "BedRotation",  "MinAverageRotation", "MaxAverageRotation"};
  return names[at(field)];
}

std::optional<AdvancedScanField> fieldForIdentifier(const std::string& identifier) {
  for (int i = 0; i < kAdvancedScanFieldCount; ++i)
    if (identifier == fieldIdentifier(static_cast<F>(i))) return static_cast<F>(i);
  return std::nullopt;
}

const std::vector<std::int64_t>& AdvancedScanPresenter::exposures() {
  static const std::vector<std::int64_t> table = {10,  15,  20,  25,   30,   40,   50,   100,  150,  200,  250,
                                                  300, 400, 500, 1000, 1500, 2000, 2500, 3000, 5000, 8000, 10000};
  return table;
}

const std::vector<std::int64_t>& AdvancedScanPresenter::whiteBalanceValues() {
  // 1, not 0: to the camera a white balance of 0 means automatic.
  static const std::vector<std::int64_t> table = {1, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000, 10000};
  return table;
}

const std::vector<double>& AdvancedScanPresenter::rotationAngles() {
  static const std::vector<double> table = {0.25, 0.5,  0.6,  1.0,  1.2,  1.5,  2.0,  3.0,  4.0,  5.0,  6.0,  9.0, 10.0,
                                            12.0, 15.0, 18.0, 20.0, 24.0, 30.0, 36.0, 40.0, 45.0, 60.0, 72.0, 90.0};
  return table;
}

std::int64_t AdvancedScanPresenter::closestExposureIndexForExposure(std::int64_t exposure) {
  return closestIndex(exposures(), exposure, std::int64_t{2147483647});
}

std::int64_t AdvancedScanPresenter::closestWhiteBalanceIndexForWhiteBalance(std::int64_t whiteBalance) {
  return closestIndex(whiteBalanceValues(), whiteBalance, std::int64_t{2147483647});
}

std::int64_t AdvancedScanPresenter::closestAngleIndexForAngle(float angle) {
  std::vector<float> angles;
  for (double a : rotationAngles()) angles.push_back(static_cast<float>(a));
  return closestIndex(angles, angle, std::numeric_limits<float>::max());
}

int AdvancedScanPresenter::raisedExposure(std::int64_t exposure) {
  return static_cast<int>(std::clamp(exposure, exposures().front(), exposures().back()));
}

int AdvancedScanPresenter::raisedWhiteBalance(std::int64_t whiteBalance) {
  return static_cast<int>(std::clamp(whiteBalance, whiteBalanceValues().front(), whiteBalanceValues().back()));
}

std::int64_t AdvancedScanPresenter::value(F field) const { return at(field) < 6 ? values_[at(field)] : 0; }

float AdvancedScanPresenter::floatValue(F field) const {
  switch (field) {
    case F::BedRotation: return bedRotationInDegrees_;
    case F::MinAverageRotation: return adaptiveScanMinRotation_;
    case F::MaxAverageRotation: return adaptiveScanMaxRotation_;
    default: return static_cast<float>(value(field));
  }
}

std::int64_t AdvancedScanPresenter::index(F field) const { return at(field) <= kBedIndex ? indices_[at(field)] : 0; }

void AdvancedScanPresenter::settingsChanged() {
  if (view_) view_->settingsChanged();
}

void AdvancedScanPresenter::focus(F field) {
  if (view_) view_->focusField(field);
}

void AdvancedScanPresenter::endLaserEdit() {
  // Nested laser edits (a locked laser 1 edit sets laser 2, which sets its alternate) redraw once.
  if (--shouldIgnoreUIUpdates_ == 0) {
    displayScanImages();
    displayCachedAnalysis();
  }
}

void AdvancedScanPresenter::dropForLaserEdit(F field) {
  if (isAlternate(field))
    laser1Alternate_.reset(), laser2Alternate_.reset();
  else
    laser1_.reset(), laser2_.reset();
  filteredImageData_.reset();
}

void AdvancedScanPresenter::setIndex(F field, std::int64_t i) {
  const int f = at(field);
  if (field == F::BedRotation) {
    indices_[kBedIndex] = i;
    bedRotationInDegrees_ = static_cast<float>(tableEntry(rotationAngles(), i));
    texts_[f] = fixedDecimals(bedRotationInDegrees_, 2);
    if (shouldSetFirstResponder_) focus(field);
  } else if (field == F::ColourCapture || field == F::WhiteBalance) {
    indices_[f] = i;
    values_[f] = tableEntry(field == F::ColourCapture ? exposures() : whiteBalanceValues(), i);
    texts_[f] = std::to_string(values_[f]);
    colourCaptureImageData_.reset();
    if (shouldSetFirstResponder_) focus(field);
  } else if (isLaser(field)) {
    beginLaserEdit();
    indices_[f] = i;
    values_[f] = tableEntry(exposures(), i);
    texts_[f] = std::to_string(values_[f]);
    const bool locked = !laserExposuresAreUnlocked_;
    if (field == F::Laser1Exposure) {
      if (locked) setIndex(F::Laser2Exposure, i);
      if (!enableHighContrastScanning_) setIndex(F::Laser1AlternateExposure, i);
    } else if (field == F::Laser2Exposure) {
      if (!enableHighContrastScanning_) setIndex(F::Laser2AlternateExposure, i);
    } else if (field == F::Laser1AlternateExposure && locked) {
      setIndex(F::Laser2AlternateExposure, i);
    }
    dropForLaserEdit(field);
    if (shouldSetFirstResponder_) focus(field);
    endLaserEdit();
  }
  settingsChanged();
}

void AdvancedScanPresenter::setText(F field, const std::string& text) {
  const int f = at(field);
  switch (field) {
    case F::ColourCapture:
    case F::WhiteBalance:
      texts_[f] = text;
      values_[f] = qv::text::leadingInteger(text);
      indices_[f] = field == F::ColourCapture ? closestExposureIndexForExposure(values_[f])
                                              : closestWhiteBalanceIndexForWhiteBalance(values_[f]);
      colourCaptureImageData_.reset();
      displayScanImages();
      break;
    case F::BedRotation:
      texts_[f] = text;
      bedRotationInDegrees_ = static_cast<float>(qv::text::leadingNumber(text));
      indices_[kBedIndex] = closestAngleIndexForAngle(bedRotationInDegrees_);
      break;
    case F::MinAverageRotation:
      texts_[f] = text;
      adaptiveScanMinRotation_ = static_cast<float>(qv::text::leadingNumber(text));
      break;
    case F::MaxAverageRotation:
      texts_[f] = text;
      adaptiveScanMaxRotation_ = static_cast<float>(qv::text::leadingNumber(text));
      break;
    default: {
      beginLaserEdit();
      texts_[f] = text;
      values_[f] = qv::text::leadingInteger(text);
      indices_[f] = closestExposureIndexForExposure(values_[f]);
      dropForLaserEdit(field);
      const bool locked = !laserExposuresAreUnlocked_;
      if (field == F::Laser1Exposure) {
        if (locked) setText(F::Laser2Exposure, text);
        if (!enableHighContrastScanning_) setText(F::Laser1AlternateExposure, text);
      } else if (field == F::Laser2Exposure) {
        if (!enableHighContrastScanning_) setText(F::Laser2AlternateExposure, text);
      } else if (field == F::Laser1AlternateExposure && locked) {
        setText(F::Laser2AlternateExposure, text);
      }
      endLaserEdit();
    }
  }
  settingsChanged();
}

void AdvancedScanPresenter::setLaserExposuresAreUnlocked(bool unlocked) {
  laserExposuresAreUnlocked_ = unlocked;
  if (!unlocked) {
    setText(F::Laser2Exposure, text(F::Laser1Exposure));
    setText(F::Laser2AlternateExposure, text(F::Laser1AlternateExposure));
  }
  alternateLaserExposuresAreUnlocked_ = unlocked && enableHighContrastScanning_;
  settingsChanged();
}

void AdvancedScanPresenter::laser2LockButtonPressed() {
  focus(laserExposuresAreUnlocked_ ? F::Laser2Exposure : F::Laser1Exposure);
}

void AdvancedScanPresenter::laser2AlternateLockButtonPressed() {
  focus(laserExposuresAreUnlocked_ ? F::Laser2AlternateExposure : F::Laser1AlternateExposure);
}

void AdvancedScanPresenter::mouseClickedForSlider(const std::string& identifier) {
  const std::string suffix = "Slider";
  if (identifier.size() <= suffix.size() || identifier.compare(identifier.size() - suffix.size(), suffix.size(), suffix) != 0)
    return;
  const auto field = fieldForIdentifier(identifier.substr(0, identifier.size() - suffix.size()));
  if (!field || *field > F::BedRotation) return;
  // While locked, laser 2 follows laser 1 and has no field of its own to edit.
  if ((*field == F::Laser2Exposure || *field == F::Laser2AlternateExposure) && !laserExposuresAreUnlocked_) return;
  focus(*field);
}

void AdvancedScanPresenter::setEnableAdaptiveScan(bool on, bool animate, bool changeFirstResponder) {
  enableAdaptiveScan_ = on;
  settingsChanged();
  if (!view_) return;
  view_->setOptionShown(AdvancedScanOption::Adaptive, on, animate, [weak = weakSelf(), on, animate, changeFirstResponder] {
    auto self = weak.lock();
    if (self && animate && changeFirstResponder) self->focus(on ? F::MinAverageRotation : F::BedRotation);
  });
}

void AdvancedScanPresenter::setEnableColourScans(bool on, bool animate, bool changeFirstResponder) {
  enableColourScans_ = on;
  settingsChanged();
  if (view_)
    view_->setOptionShown(AdvancedScanOption::Colour, on, animate, [weak = weakSelf(), on, animate, changeFirstResponder] {
      auto self = weak.lock();
      if (self && animate && changeFirstResponder) self->focus(on ? F::ColourCapture : F::Laser1Exposure);
    });
  displayImages_[0].reset();
}

void AdvancedScanPresenter::setEnableHighContrastScanning(bool on, bool animate, bool changeFirstResponder) {
  enableHighContrastScanning_ = on;
  alternateLaserExposuresAreUnlocked_ = laserExposuresAreUnlocked_ && on;
  settingsChanged();
  if (view_)
    view_->setOptionShown(AdvancedScanOption::HighContrast, on, animate, [weak = weakSelf(), on, animate, changeFirstResponder] {
      auto self = weak.lock();
      if (!self || !animate) return;
      if (!on) {
        // Without high contrast a laser has one exposure: the alternates follow the normal ones.
        self->setText(F::Laser1AlternateExposure, self->text(F::Laser1Exposure));
        self->setText(F::Laser2AlternateExposure, self->text(F::Laser2Exposure));
      }
      if (changeFirstResponder) self->focus(on ? F::Laser1AlternateExposure : F::Laser1Exposure);
    });
  if (on) {
    // The alternate thumbnails show the normal pictures until pictures at their own exposures come.
    laser1Alternate_ = laser1_;
    laser2Alternate_ = laser2_;
  } else {
    laser1Alternate_.reset(), laser2Alternate_.reset();
  }
  displayScanImages();
}

void AdvancedScanPresenter::loadFields(const std::function<std::optional<qv::Value>(const std::string&)>& read,
                                       bool restoring) {
  const auto readString = [&](const char* key) -> std::optional<std::string> {
    const auto v = read(key);
    return v ? v->toString() : std::nullopt;
  };
  const auto readInteger = [&](const char* key) { const auto v = read(key); return v ? v->toInt64() : 0; };
  const auto readFloat = [&](const char* key) { const auto v = read(key); return v ? static_cast<float>(v->toDouble()) : 0.0f; };
  const auto readBool = [&](const char* key) { const auto v = read(key); return v && v->toBool(); };

  const auto s1 = readString("CameraLaser1ExposureSetting"), s2 = readString("CameraLaser2ExposureSetting");
  bool highContrast = readBool("EnableHighContrastScanning");
  const bool colour = readBool("EnableColourScans");
  const bool unlocked = s1 != s2;
  // "50" is one exposure for both frames, "50,200" a normal and an alternate one.
  const auto parse = [&](const std::optional<std::string>& s, std::int64_t& normal, std::int64_t& alternate) {
    if (!s) {
      normal = alternate = exposures().front();
      return;
    }
    const auto parts = split(*s, ',');
    normal = alternate = qv::text::leadingInteger(parts[0]);
    if (parts.size() >= 2) {
      alternate = qv::text::leadingInteger(parts[1]);
      if (!restoring) highContrast = true;
    }
  };
  std::int64_t l1 = 0, l1a = 0, l2 = 0, l2a = 0;
  parse(s1, l1, l1a);
  parse(s2, l2, l2a);
  const std::int64_t colourExposure = readInteger("CameraNonLaserExposureSetting");
  const std::int64_t whiteBalance = readInteger("CameraNonLaserWhitebalanceSetting");
  const float bed = readFloat("ScanRotationInDegrees"), minStep = readFloat("AdaptiveScanMinRotation"),
              maxStep = readFloat("AdaptiveScanMaxRotation");
  const bool adaptive = readBool("EnableAdaptiveScanning");

  shouldAnimate_ = false, shouldSetFirstResponder_ = false;
  if (!restoring) setEnableAdaptiveScan(adaptive);
  // Laser 2's own texts come after laser 1's, so they win over the copies the lock makes.
  setText(F::MinAverageRotation, fixedDecimals(minStep, 3));
  setText(F::MaxAverageRotation, fixedDecimals(maxStep, 3));
  setText(F::BedRotation, fixedDecimals(bed, 2));
  setText(F::ColourCapture, std::to_string(colourExposure));
  setText(F::WhiteBalance, std::to_string(whiteBalance));
  setText(F::Laser1Exposure, std::to_string(l1));
  setText(F::Laser1AlternateExposure, std::to_string(l1a));
  setText(F::Laser2Exposure, std::to_string(l2));
  setText(F::Laser2AlternateExposure, std::to_string(l2a));
  if (!restoring) {
    setLaserExposuresAreUnlocked(unlocked);
    setEnableHighContrastScanning(highContrast);
    setEnableColourScans(colour);
  }
  shouldAnimate_ = true, shouldSetFirstResponder_ = true;
}

void AdvancedScanPresenter::loadView() {
  loadFields([this](const std::string& key) { return settings_.objectForKey(key); }, false);
}

void AdvancedScanPresenter::restoreDefaults() {
  const qv::Dictionary factory = QVLRegisteredDefaults::defaults();
  loadFields(
      [&factory](const std::string& key) -> std::optional<qv::Value> {
        const auto it = factory.find(key);
        return it == factory.end() ? std::nullopt : std::optional<qv::Value>(it->second);
      },
      true);
  switch (imageToDisplay_) {
    case 0: focus(enableAdaptiveScan_ ? F::MinAverageRotation : F::BedRotation); break;
    case 1: focus(enableColourScans_ ? F::ColourCapture : F::Laser1Exposure); break;
    case 2: focus(F::Laser1Exposure); break;
    case 3: focus(enableHighContrastScanning_ ? F::Laser2AlternateExposure : F::Laser1Exposure); break;
    default: break;
  }
}

void AdvancedScanPresenter::validateAndFixFields() {
  shouldSetFirstResponder_ = false;
  const std::int64_t lowest = exposures().front(), highest = exposures().back();
  for (F field : {F::ColourCapture, F::Laser1Exposure, F::Laser2Exposure, F::Laser1AlternateExposure,
                  F::Laser2AlternateExposure}) {
    // The camera takes the value as an int: a typed value beyond the slider's range is brought
    // back to its end.
    if (value(field) <= 0)
      setText(field, std::to_string(lowest));
    else if (value(field) > highest)
      setText(field, std::to_string(highest));
  }
  if (value(F::WhiteBalance) <= 0)
    setText(F::WhiteBalance, std::to_string(whiteBalanceValues().front()));
  else if (value(F::WhiteBalance) > whiteBalanceValues().back())
    setText(F::WhiteBalance, std::to_string(whiteBalanceValues().back()));
  const auto bound = [this](F field, float low, float high, int decimals) {
    if (floatValue(field) < low)
      setText(field, fixedDecimals(low, decimals));
    else if (floatValue(field) > high)
      setText(field, fixedDecimals(high, decimals));
  };
  bound(F::MinAverageRotation, 0.125f, 13.0f, 3);
  bound(F::MaxAverageRotation, 2.125f, 15.0f, 3);
  if (adaptiveScanMaxRotation_ - adaptiveScanMinRotation_ < 2.0f)
    setText(F::MaxAverageRotation, fixedDecimals(adaptiveScanMinRotation_ + 2.0f, 3));
  bound(F::BedRotation, static_cast<float>(rotationAngles().front()), static_cast<float>(rotationAngles().back()), 2);
  const double remainder = std::fmod(360.0, static_cast<double>(bedRotationInDegrees_));
  if (remainder != 0.0 || std::isnan(remainder))
    setIndex(F::BedRotation, closestAngleIndexForAngle(bedRotationInDegrees_));
  shouldSetFirstResponder_ = true;
}

void AdvancedScanPresenter::saveScanSettings() {
  const auto exposureSetting = [](std::int64_t normal, std::int64_t alternate) {
    const int n = raisedExposure(normal), a = raisedExposure(alternate);
    return n != a ? std::to_string(n) + "," + std::to_string(a) : std::to_string(n);
  };
  settings_.setValue("CameraLaser1ExposureSetting",
                     qv::Value(exposureSetting(value(F::Laser1Exposure), value(F::Laser1AlternateExposure))));
  settings_.setValue("CameraLaser2ExposureSetting",
                     qv::Value(exposureSetting(value(F::Laser2Exposure), value(F::Laser2AlternateExposure))));
  settings_.setValue("CameraNonLaserExposureSetting", qv::Value(std::int64_t{raisedExposure(value(F::ColourCapture))}));
  settings_.setValue("CameraNonLaserWhitebalanceSetting",
                     qv::Value(std::int64_t{raisedWhiteBalance(value(F::WhiteBalance))}));
  settings_.setValue("EnableAdaptiveScanning", qv::Value(enableAdaptiveScan_));
  settings_.setValue("OverrideScanRotationAndHeight", qv::Value(!enableAdaptiveScan_));
  settings_.setValue("EnableHighContrastScanning", qv::Value(enableHighContrastScanning_));
  settings_.setValue("ScanRotationInDegrees", qv::Value(static_cast<double>(bedRotationInDegrees_)));
  settings_.setValue("EnableColourScans", qv::Value(enableColourScans_));
  settings_.setValue("AdaptiveScanMaxRotation", qv::Value(static_cast<double>(adaptiveScanMaxRotation_)));
  settings_.setValue("AdaptiveScanMinRotation", qv::Value(static_cast<double>(adaptiveScanMinRotation_)));
}

}  // namespace qv::screens
