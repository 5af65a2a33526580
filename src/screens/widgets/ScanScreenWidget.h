// The scan screen's page: the quality choice, the running scan (live preview drawn by the
// viewer's renderer, the toolbar, progress, status line, the right panel with the two camera
// monitor images) and the save overlay. It shows what its presenter tells it and hands every
// click and every turn of the preview to it.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/Settings.h"
#include "screens/ScanScreenPresenter.h"

class QVLSceneRenderer;

namespace qv::screens {

class LevelIndicator;
class SquareButton;

class ScanScreenWidget : public QWidget, private ScanScreenView {
  Q_OBJECT
public:
  ScanScreenWidget(std::shared_ptr<ScanScreenPresenter> presenter, qv::Settings& settings, QWidget* parent = nullptr);
  ~ScanScreenWidget() override;

  ScanScreenPresenter& presenter() { return *presenter_; }
  QVLSceneRenderer* renderer() const { return renderer_; }
  // Where the save panel is answered: Qt's own file dialog unless replaced (tests answer here).
  using SaveChooser = std::function<void(const std::string& defaultName, const std::filesystem::path& folder,
                                         std::function<void(std::optional<std::string>)> done)>;
  void setSaveChooser(SaveChooser chooser) { saveChooser_ = std::move(chooser); }
  // The buttons by the presenter's menu tags (402 pause .. 406 details), for the menu and tests.
  QAbstractButton* button(int menuTag) const;
  QAbstractButton* qualityButton(int quality) const;  // 0 quick, 1 medium, 2 high
  QAbstractButton* saveButton() const;

protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // ScanScreenView
  void showControls(const ScanScreenControls& controls) override;
  void showMonitorImages(qv::SharedData laserImage, qv::SharedData monitorImage) override;
  void clearMonitorImages() override;
  void setRightPanelOpen(bool open) override;
  void animateRightPanel(bool open, double seconds, std::function<void()> done) override;
  void chooseSaveLocation(const std::string& defaultName, const std::filesystem::path& folder,
                          std::function<void(std::optional<std::string>)> done) override;
  void previewChanged(double highlightFadeSeconds) override;
  void sceneReset() override;

  QWidget* buildStartPage();
  QWidget* buildScanPage();
  QWidget* buildSaveOverlay();
  void applyPointSize();
  void redraw();

  std::shared_ptr<ScanScreenPresenter> presenter_;
  qv::Settings& settings_;
  qv::Settings::Token settingsToken_ = 0;
  QWidget* startPage_ = nullptr;
  QWidget* scanPage_ = nullptr;
  QWidget* saveOverlay_ = nullptr;
  QWidget* savePromptPanel_ = nullptr;
  QWidget* savingPanel_ = nullptr;
  QWidget* rightPanel_ = nullptr;
  QVLSceneRenderer* renderer_ = nullptr;
  LevelIndicator* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* monitor1_ = nullptr;
  QLabel* monitor2_ = nullptr;
  SquareButton *pause_ = nullptr, *play_ = nullptr, *cancel_ = nullptr, *finish_ = nullptr, *details_ = nullptr;
  SquareButton *startCancel_ = nullptr, *save_ = nullptr;
  SquareButton* quality_[3] = {};
  QPointer<QVariantAnimation> panelAnimation_, fadeAnimation_;
  SaveChooser saveChooser_;
  QPoint lastDrag_;
  bool dragging_ = false, rightDragging_ = false;
};

}  // namespace qv::screens
