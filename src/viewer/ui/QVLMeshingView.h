// The meshing options sheet over the whole viewer, and the overlay that offers to save an unsaved
// mesh. Both only show what their presenters decide and pass the user's presses on.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QSlider;
class QVLMeshingViewController;

class QVLMeshingView : public QWidget {
  Q_OBJECT
public:
  // What turns while the meshing runs. The application installs its own waiting view; until
  // then an indeterminate progress bar stands in.
  using IndicatorFactory = std::function<QWidget*(QWidget* parent)>;
  static void setWaitingIndicatorFactory(IndicatorFactory factory);

  QVLMeshingView(std::shared_ptr<QVLMeshingViewController> sheet, QWidget* parent);
  ~QVLMeshingView() override;

  QSlider* detailsLevelSlider() const { return detailsSlider_; }
  QSlider* smoothingLevelSlider() const { return smoothingSlider_; }
  QLabel* detailLevelTextField() const { return detailText_; }
  QLabel* smoothingLevelTextField() const { return smoothingText_; }
  QLabel* meshingBodyTextField() const { return bodyText_; }
  QPushButton* performMeshingButton() const { return performButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QWidget* messageView() const { return messageView_; }
  QWidget* waitingView() const { return waitingView_; }

private:
  void refresh();

  std::shared_ptr<QVLMeshingViewController> sheet_;
  QWidget* messageView_ = nullptr;
  QWidget* waitingView_ = nullptr;
  QSlider* detailsSlider_ = nullptr;
  QSlider* smoothingSlider_ = nullptr;
  QLabel* detailText_ = nullptr;
  QLabel* smoothingText_ = nullptr;
  QLabel* bodyText_ = nullptr;
  QPushButton* performButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

// "Mesh not saved": Save or Leave (back to the points without saving).
class QVLSaveMeshView : public QWidget {
  Q_OBJECT
public:
  QVLSaveMeshView(std::function<void()> save, std::function<void()> leave, QWidget* parent);
  QPushButton* saveButton() const { return save_; }
  QPushButton* leaveButton() const { return leave_; }
  // The least size the overlay keeps, whatever the viewer's size.
  static QSize minimumOverlaySize() { return {360, 220}; }

private:
  QPushButton* save_ = nullptr;
  QPushButton* leave_ = nullptr;
};

// The two square-button looks the sheets use: white on the accent green, and grey on light grey.
QString meshingPrimaryButtonStyle();
QString meshingSecondaryButtonStyle();
