// The meshing options sheet: why meshing is needed, the detail and smoothing levels with a text
// for each, Cancel and the button that starts the meshing, the waiting view while it runs, and
// the desktop notice when it has finished. The sheet owns no meshing: it hands the two settings
// to its delegate, the viewer. Plain C++: the widget shows what this decides.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Settings.h"

// What the sheet asks of the viewer that hosts it.
class QVLMeshingProtocol {
public:
  // Nothing on success, else why no mesh was made. Called once, on any queue.
  using Completion = std::function<void(const std::optional<qv::Error>& failure)>;
  virtual ~QVLMeshingProtocol() = default;
  virtual void performMeshingWithOctreeDepth(std::int64_t octreeDepth, std::int64_t samplesPerNode,
                                             Completion completion) = 0;
  virtual void dismissMeshingViewControllerAndSaveMeshedFile(bool save) = 0;
};

class QVLMeshingViewController : public std::enable_shared_from_this<QVLMeshingViewController> {
public:
  static constexpr const char* kOctreeDepthKey = "MeshingOctreeDepth";
  static constexpr const char* kSamplesPerNodeKey = "MeshingSamplesPerNode";
  // The slider ranges: the detail texts cover depths 6 to 10.
  static constexpr int kMinOctreeDepth = 6, kMaxOctreeDepth = 10;
  static constexpr int kMinSamplesPerNode = 1, kMaxSamplesPerNode = 20;

  // Observes both settings from the start; the texts follow every change, wherever it is made.
  static std::shared_ptr<QVLMeshingViewController> create(qv::Settings& settings);
  ~QVLMeshingViewController();
  QVLMeshingViewController(const QVLMeshingViewController&) = delete;
  QVLMeshingViewController& operator=(const QVLMeshingViewController&) = delete;

  // 1 textured OBJ, 2 untextured OBJ, 3 STL, 0 any other format.
  int meshingType() const { return meshingType_; }
  void setMeshingType(int type) { meshingType_ = type; }
  void setDelegate(std::weak_ptr<QVLMeshingProtocol> delegate) { delegate_ = std::move(delegate); }

  // The texts the sheet shows.
  std::string meshingBodyText() const { return meshingBodyText(meshingType_); }
  std::string detailLevelText() const;
  std::string smoothingLevelText() const;
  static std::string meshingBodyText(int meshingType);
  static std::string detailLevelText(std::int64_t octreeDepth);
  static std::string smoothingLevelText(std::int64_t samplesPerNode);

  // The settings behind the sliders; the sliders write them, the sheet reads only them.
  std::int64_t octreeDepth() const { return settings_.integerForKey(kOctreeDepthKey); }
  std::int64_t samplesPerNode() const { return settings_.integerForKey(kSamplesPerNodeKey); }
  void setOctreeDepth(std::int64_t depth);
  void setSamplesPerNode(std::int64_t samples);

  // Told on the main queue whenever a text or the waiting view changes.
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
  bool isShowingWaitingView() const { return showingWaitingView_; }

  void cancelButtonPressed();
  // Starts one meshing with the settings' values, unless one runs anywhere in the application.
  void performMeshingButtonPressed();
  void showWaitingView();
  void hideWaitingView();

  // One meshing at a time in the whole application: set by a start, cleared by its completion.
  static bool isMeshingInProgress();

  static constexpr const char* kNotificationTitle = "Quorvel";
  static constexpr const char* kFinishedText = "Your model has finished meshing";

private:
  explicit QVLMeshingViewController(qv::Settings& settings) : settings_(settings) {}
  void updateTexts();
  void changed();

  qv::Settings& settings_;
  qv::Settings::Token listener_ = 0;
  int meshingType_ = 0;
  std::weak_ptr<QVLMeshingProtocol> delegate_;
  std::function<void()> onChange_;
  std::string detailText_, smoothingText_;
  bool showingWaitingView_ = false;
};
