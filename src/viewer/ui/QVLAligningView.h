// The aligning screen laid over the 3D viewer: the request to choose the second scan, the
// waiting and saving messages, the open and save panels and the failure alert. It shows what
// QVLAligningViewController decides and closes itself when the controller asks.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "viewer/model/QVLAligningViewController.h"

class QLabel;
class QPushButton;
class QVLObjectSceneView;

class QVLAligningView : public QWidget, public qv::viewer::AligningDisplay, public QVLAligningProtocol {
  Q_OBJECT
public:
  // Lays a new screen over the viewer and fades it in, unless the viewer is applying changes,
  // `blocked` answers true (the application's open panel is up), or a screen is already shown.
  // The screen deletes itself once it has faded out. Null when nothing was opened.
  static QVLAligningView* open(QVLObjectSceneView* viewer, QVLAligningViewController::Options options = {},
                               const std::function<bool()>& blocked = {});

  QVLAligningView(QVLObjectSceneView* viewer, QVLAligningViewController::Options options);
  ~QVLAligningView() override;

  const std::shared_ptr<QVLAligningViewController>& controller() const { return controller_; }
  QPushButton* chooseFileButton() const { return chooseFileButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QWidget* messageView() const { return messageView_; }
  QWidget* waitingView() const { return waitingView_; }
  QWidget* savingMessageView() const { return savingMessageView_; }

  // What the rules ask of the screen.
  void showStage(Stage stage) override;
  void askForFileToAlign(const std::string& folder, std::function<void(std::optional<std::string>)> answer) override;
  void askForMergedScanPath(const std::string& proposedPath, const std::vector<std::string>& extensions,
                            std::function<void(std::optional<std::string>)> answer) override;
  void showAlert(const std::string& message, const std::string& informativeText) override;

  // What the screen asks of the viewer (from any thread).
  void dismissAligningViewController() override;
  void loadScan(const qv::ObjectID& scanObjectId) override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  void layOut();
  void fade(QWidget* widget, double to, std::function<void()> done = {});
  // The whole screen in (to each view's resting opacity) or out.
  void fadeScreen(bool in, std::function<void()> done);
  void setOpacity(QWidget* widget, double opacity);

  QVLObjectSceneView* viewer_;
  std::shared_ptr<QVLAligningViewController> controller_;
  QWidget* backgroundView_ = nullptr;
  QWidget* topBarBackgroundView_ = nullptr;
  QWidget* messageView_ = nullptr;
  QWidget* waitingView_ = nullptr;
  QWidget* savingMessageView_ = nullptr;
  QPushButton* chooseFileButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  bool closing_ = false;
};
