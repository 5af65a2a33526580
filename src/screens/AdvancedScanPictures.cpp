// The manual scan screen's pictures: the choice of what to take, each acquisition and its
// stale-result test, the six slots, the filtered frame with its summary and the summary cache.
#include <atomic>

#include "acquisition/QVSImageUtil.h"
#include "acquisition/ScannerGeometry.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Queue.h"
#include "screens/AdvancedScanAnalysis.h"
#include "screens/AdvancedScanPresenter.h"

namespace qv::screens {

using F = AdvancedScanField;

namespace {

// Spaces the laser refreshes of the colour choice: one in ten, kept across screens.
std::atomic<int> colourRefreshCounter{0};

const qv::SharedData& laserData(const std::optional<QVLScanResultSet>& set) {
  static const qv::SharedData none;
  return set ? set->laserImage : none;
}

// Colour values of the high-contrast sequence go to the camera as they stand, within the int
// range of the control.
int asSent(std::int64_t value) { return static_cast<int>(std::clamp<std::int64_t>(value, 0, 10000)); }

}  // namespace

void AdvancedScanPresenter::textFieldDidBecomeFirstResponder(std::optional<AdvancedScanField> field) {
  if (shouldIgnoreFirstResponder_) return;
  unsigned slot = selectedImageIndex_;
  if (!field) {
    imageToDisplay_ = 0;
  } else {
    switch (*field) {
      case F::Laser1Exposure: imageToDisplay_ = 2, slot = slot == 2 ? 2 : 1; break;
      case F::Laser2Exposure: imageToDisplay_ = 2, slot = 2; break;
      case F::Laser1AlternateExposure: imageToDisplay_ = 3, slot = slot == 4 ? 4 : 3; break;
      case F::Laser2AlternateExposure: imageToDisplay_ = 3, slot = 4; break;
      default: imageToDisplay_ = 1, slot = 0; break;
    }
  }
  // The filtered picture stays chosen whatever field is edited.
  if (selectedImageIndex_ != 5) selectedImageIndex_ = slot;
  validateAndFixFields();
  displayScanImages();
}

void AdvancedScanPresenter::displayImageButtonPressed(int tag) {
  if (tag < 1 || tag > 6) return;
  shouldIgnoreFirstResponder_ = true;
  const F laser2 = laserExposuresAreUnlocked_ ? F::Laser2Exposure : F::Laser1Exposure;
  const F laser2Alternate = laserExposuresAreUnlocked_ ? F::Laser2AlternateExposure : F::Laser1AlternateExposure;
  static constexpr int choices[] = {1, 2, 2, 3, 3, 4};
  switch (tag) {
    case 1:
      if (!view_ || !(view_->isFieldFocused(F::ColourCapture) || view_->isFieldFocused(F::WhiteBalance)))
        focus(F::ColourCapture);
      break;
    case 2: focus(F::Laser1Exposure); break;
    case 3: focus(laser2); break;
    case 4: focus(F::Laser1AlternateExposure); break;
    case 5: focus(laser2Alternate); break;
    default: break;
  }
  selectedImageIndex_ = static_cast<unsigned>(tag - 1);
  imageToDisplay_ = choices[tag - 1];
  displayScanImages();
  shouldIgnoreFirstResponder_ = false;
}

void AdvancedScanPresenter::captureEnded() {
  currentState_ = kStateIdle;
  resolveCurrentState();
}

void AdvancedScanPresenter::acquireDisplayImages(int choice) {
  const int exposure = raisedExposure(value(F::ColourCapture)), whiteBalance = raisedWhiteBalance(value(F::WhiteBalance));
  const int laser1 = raisedExposure(value(F::Laser1Exposure)), laser2 = raisedExposure(value(F::Laser2Exposure));
  // Every capture ends on the main queue, where the views are: errors and late results alike.
  auto failed = [weak = weakSelf()](const qv::Error&) {
    qv::mainQueue()->async([weak] {
      if (auto self = weak.lock()) self->captureEnded();
    });
  };
  switch (choice) {
    case 1: {
      bool laserSlotWaiting = false;
      for (int slot = 1; slot <= 5; ++slot) laserSlotWaiting = laserSlotWaiting || !displayImages_[slot];
      if (laserSlotWaiting || colourRefreshCounter.load() == 0) {
        ++colourRefreshCounter;
        acquireDisplayImages(4);
        return;
      }
      currentState_ = kStateAcquiring;
      const int counter = colourRefreshCounter.load();
      colourRefreshCounter = counter < 9 ? counter + 1 : 0;
      delegate_->captureColourImage(exposure, whiteBalance, [weak = weakSelf(), exposure, whiteBalance](qv::SharedData colour) {
        qv::mainQueue()->async([weak, exposure, whiteBalance, colour] {
          auto self = weak.lock();
          if (!self) return;
          if (raisedExposure(self->value(F::ColourCapture)) == exposure &&
              raisedWhiteBalance(self->value(F::WhiteBalance)) == whiteBalance) {
            self->colourCaptureImageData_ = colour;
            self->displayImages_[0].reset();
            self->displayScanImages();
          }
          self->captureEnded();
        });
      }, failed);
      return;
    }
    case 2: {
      currentState_ = kStateAcquiring;
      const std::array<int, 4> asked = {exposure, whiteBalance, laser1, laser2};
      delegate_->captureImageSequence(
          exposure, whiteBalance, laser1, laser2,
          [weak = weakSelf(), asked](qv::SharedData colour, QVLScanResultSet l1, QVLScanResultSet l2) {
            qv::mainQueue()->async([weak, asked, colour, l1, l2] {
              auto self = weak.lock();
              if (!self) return;
              const std::array<int, 4> now = {raisedExposure(self->value(F::ColourCapture)),
                                              raisedWhiteBalance(self->value(F::WhiteBalance)),
                                              raisedExposure(self->value(F::Laser1Exposure)),
                                              raisedExposure(self->value(F::Laser2Exposure))};
              if (now != asked) {
                // Pictures at settings that are no longer chosen are never shown.
                self->dropPictures();
              } else {
                self->colourCaptureImageData_ = colour;
                self->laser1_ = l1, self->laser2_ = l2;
                for (int slot : {0, 1, 2}) self->displayImages_[slot].reset();
                self->displayScanImages();
                self->buildFilteredImage();
              }
              self->captureEnded();
            });
          },
          failed);
      return;
    }
    case 3: {
      currentState_ = kStateAcquiring;
      // The comparison after the capture uses the very values sent, so that colour values under
      // the table's first entries do not make every result look stale.
      const auto current = [](const AdvancedScanPresenter& s) {
        return std::array<int, 6>{asSent(s.value(F::ColourCapture)),
                                  asSent(s.value(F::WhiteBalance)),
                                  raisedExposure(s.value(F::Laser1Exposure)),
                                  raisedExposure(s.value(F::Laser1AlternateExposure)),
                                  raisedExposure(s.value(F::Laser2Exposure)),
                                  raisedExposure(s.value(F::Laser2AlternateExposure))};
      };
      const auto asked = current(*this);
      delegate_->captureImageSequence(
          asked[0], asked[1], asked[2], asked[3], asked[4], asked[5],
          [weak = weakSelf(), asked, current](qv::SharedData colour, QVLScanResultSet l1Low, QVLScanResultSet l1High,
                                              QVLScanResultSet l2Low, QVLScanResultSet l2High) {
            qv::mainQueue()->async([weak, asked, current, colour, l1Low, l1High, l2Low, l2High] {
              auto self = weak.lock();
              if (!self) return;
              if (current(*self) == asked) {
                self->colourCaptureImageData_ = colour;
                self->laser1_ = l1Low, self->laser1Alternate_ = l1High;
                self->laser2_ = l2Low, self->laser2Alternate_ = l2High;
                for (int slot = 0; slot <= 4; ++slot) self->displayImages_[slot].reset();
                self->displayScanImages();
                self->buildFilteredImage();
              }
              self->captureEnded();
            });
          },
          failed);
      return;
    }
    case 4: acquireDisplayImages(enableHighContrastScanning_ ? 3 : 2); return;
    default: displayScanImages(); return;
  }
}

void AdvancedScanPresenter::updateImageAtIndex(int slot, const qv::SharedData& data) {
  auto& entry = displayImages_[static_cast<std::size_t>(slot)];
  const bool empty = !data || data->empty();
  if (empty && entry) {
    entry.reset();
    if (view_) view_->updateThumbnail(slot, nullptr, true, 0.4);
  } else if (!empty && !entry) {
    // Decoded once per new frame: a slot keeps its picture until new data replaces it.
    auto image = std::make_shared<cv::Mat>(QVSImageUtil::imageFromImageData(*data));
    if (image->empty()) return;
    entry = image;
    if (view_) view_->updateThumbnail(slot, entry, false, 1.0);
  }
}

void AdvancedScanPresenter::displayScanImages() {
  const qv::SharedData* sources[6] = {&colourCaptureImageData_, &laserData(laser1_), &laserData(laser2_),
                                      &laserData(laser1Alternate_), &laserData(laser2Alternate_), &filteredImageData_};
  for (int slot = 0; slot < 6; ++slot) updateImageAtIndex(slot, *sources[slot]);
  for (std::size_t i = 0; i < std::min(displayImages_.size(), visibleDisplayImages_.size()); ++i)
    if (displayImages_[i] && displayImages_[i] != visibleDisplayImages_[i]) visibleDisplayImages_[i] = displayImages_[i];
  const std::size_t selected = std::min<std::size_t>(selectedImageIndex_, kSlotCount - 1);
  const DisplayImage& large = visibleDisplayImages_[selected];
  // A slot being refreshed shows its previous picture at half opacity.
  if (!displayImages_[selected] && largeImageAlpha_ == 1.0)
    largeImageAlpha_ = 0.5;
  else if (displayImages_[selected] && largeImageAlpha_ < 1.0)
    largeImageAlpha_ = 1.0;
  if (!view_) return;
  view_->showLargeImage(large, largeImageAlpha_);
  view_->setHighlightedSlot(large && selected < 6 ? std::optional<int>(static_cast<int>(selected)) : std::nullopt);
}

void AdvancedScanPresenter::buildFilteredImage() {
  auto frame = std::make_shared<qv::Data>(opaqueBlackFrame());
  const auto list = [](const std::optional<QVLScanResultSet>& normal, const std::optional<QVLScanResultSet>& alternate) {
    std::vector<QVLScanResultSet> sets;
    if (normal) {
      sets.push_back(*normal);
      if (alternate) sets.push_back(*alternate);
    }
    return sets;
  };
  const auto page = readSummaryTemplate();
  QVLAdvancedScanResult summary;
  summary.laser1LowExposure = value(F::Laser1Exposure);
  summary.laser1HighExposure = value(F::Laser1AlternateExposure);
  summary.laser2LowExposure = value(F::Laser2Exposure);
  summary.laser2HighExposure = value(F::Laser2AlternateExposure);
  extractPointsFromLaserResults(list(laser1_, laser1Alternate_), *frame, summary, kSummaryLaser1);
  extractPointsFromLaserResults(list(laser2_, laser2Alternate_), *frame, summary, kSummaryLaser2);
  analysisSummaries_[summary.reference()] = summary;
  if (view_) view_->showSummaryPage(page ? fillSummaryTemplate(*page, summary) : std::string(), qv::paths::resourceFolder());
  filteredImageData_ = std::move(frame);
  displayImages_[5].reset();
  displayScanImages();
}

void AdvancedScanPresenter::displayCachedAnalysis() {
  const auto it = analysisSummaries_.find(QVLAdvancedScanResult::referenceForLaser1LowExposure(
      value(F::Laser1Exposure), value(F::Laser1AlternateExposure), value(F::Laser2Exposure),
      value(F::Laser2AlternateExposure)));
  const QVLAdvancedScanResult summary = it == analysisSummaries_.end() ? QVLAdvancedScanResult() : it->second;
  const auto page = readSummaryTemplate();
  if (view_) view_->showSummaryPage(page ? fillSummaryTemplate(*page, summary) : std::string(), std::nullopt);
  QVLogInfo("Updating summary from cache");
}

bool AdvancedScanPresenter::isPointValidWithExposure(int, float x, int y, int laser) {
  const auto details = delegate_->calibrationDetails();
  const QVLScannerCalibration calibration = details ? details->scannerCalibration() : QVLScannerCalibration{};
  const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, currentHeadHeight());
  Eigen::Vector3d point_bed, normal_bed;
  if (!TriangulateLaserPixel(geometry, static_cast<double>(x), static_cast<double>(y), laser, 0.0f, point_bed, normal_bed))
    return false;
  return isPointOnObject(point_bed.x(), point_bed.y(), point_bed.z());
}

}  // namespace qv::screens
