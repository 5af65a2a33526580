// The meshing options sheet's rules and texts.
#include "viewer/model/QVLMeshingViewController.h"

#include <atomic>

#include "platform/Format.h"
#include "platform/Queue.h"
#include "viewer/model/UserNotifier.h"

namespace {

std::atomic<bool> meshingInProgress{false};

}  // namespace

std::shared_ptr<QVLMeshingViewController> QVLMeshingViewController::create(qv::Settings& settings) {
  auto sheet = std::shared_ptr<QVLMeshingViewController>(new QVLMeshingViewController(settings));
  sheet->updateTexts();
  // A change may come on any thread; the texts are the main queue's.
  sheet->listener_ = settings.addChangeListener([weak = std::weak_ptr<QVLMeshingViewController>(sheet)](const std::string& key) {
    if (key != kOctreeDepthKey && key != kSamplesPerNodeKey) return;
    qv::mainQueue()->async([weak] {
      if (auto self = weak.lock()) {
        self->updateTexts();
        self->changed();
      }
    });
  });
  return sheet;
}

QVLMeshingViewController::~QVLMeshingViewController() { settings_.removeChangeListener(listener_); }

std::string QVLMeshingViewController::meshingBodyText(int meshingType) {
  switch (meshingType) {
    case 3: return "Meshing is required for the STL file format. It may take several minutes to complete.";
    case 1:
    case 2: return "Meshing is required for the OBJ file format. It may take several minutes to complete.";
    default: return "Meshing is required for this file format. It may take several minutes to complete.";
  }
}

std::string QVLMeshingViewController::detailLevelText(std::int64_t depth) {
  switch (depth) {
    case 6: return "6: Low details, fast";
    case 7: return "7: Medium details, relatively fast";
    case 8: return "8: More details, relatively slow";
    case 9: return "9: Very detailed, very slow";
    case 10: return "10: Extremely detailed, extremely slow";
    default: return {};
  }
}

std::string QVLMeshingViewController::smoothingLevelText(std::int64_t samples) {
  if (samples == 1) return "1 sample per octree node";
  return qv::format("%lld samples per octree node", static_cast<long long>(samples));
}

std::string QVLMeshingViewController::detailLevelText() const { return detailText_; }
std::string QVLMeshingViewController::smoothingLevelText() const { return smoothingText_; }

void QVLMeshingViewController::updateTexts() {
  detailText_ = detailLevelText(octreeDepth());
  smoothingText_ = smoothingLevelText(samplesPerNode());
}

void QVLMeshingViewController::changed() {
  if (onChange_) onChange_();
}

void QVLMeshingViewController::setOctreeDepth(std::int64_t depth) { settings_.setValue(kOctreeDepthKey, depth); }
void QVLMeshingViewController::setSamplesPerNode(std::int64_t samples) { settings_.setValue(kSamplesPerNodeKey, samples); }

bool QVLMeshingViewController::isMeshingInProgress() { return meshingInProgress; }

void QVLMeshingViewController::cancelButtonPressed() {
  if (auto delegate = delegate_.lock()) delegate->dismissMeshingViewControllerAndSaveMeshedFile(false);
}

void QVLMeshingViewController::performMeshingButtonPressed() {
  bool expected = false;
  if (!meshingInProgress.compare_exchange_strong(expected, true)) return;
  auto delegate = delegate_.lock();
  if (!delegate) {
    meshingInProgress = false;
    return;
  }
  showWaitingView();
  delegate->performMeshingWithOctreeDepth(octreeDepth(), samplesPerNode(), [](const std::optional<qv::Error>& failure) {
    meshingInProgress = false;
    // A failure is shown by the viewer with its reason; the notice announces a finished model only.
    if (failure) return;
    qv::mainQueue()->async([] {
      qv::viewer::userNotifier()->deliverNotification(kNotificationTitle, kFinishedText);
    });
  });
}

void QVLMeshingViewController::showWaitingView() {
  showingWaitingView_ = true;
  changed();
}

void QVLMeshingViewController::hideWaitingView() {
  showingWaitingView_ = false;
  changed();
}
