// The preferences window: a toolbar with one button per pane, the General and Viewer panes, and
// its corner, pane sizes and last pane kept in the settings.
#pragma once

#include <QActionGroup>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QStackedWidget>
#include <memory>
#include <vector>

#include "platform/Settings.h"
#include "screens/GeneralPreferencesPresenter.h"
#include "screens/PreferencesWindowPresenter.h"

namespace qv::screens {

// `QVLGeneralPreferences`: scan and connection settings and the scanner reset.
class GeneralPreferencesPane : public QWidget, public GeneralPreferencesView {
  Q_OBJECT
public:
  GeneralPreferencesPane(qv::Settings& settings, GeneralPreferencesDelegate* delegate, QWidget* parent = nullptr);
  void focusLaser1ExposureField() override;
  void focusDegreesToRotateField() override;
  void setScanRotationLabelColour(Rgba colour) override;

private:
  std::shared_ptr<GeneralPreferencesPresenter> presenter_;
  QLineEdit* laser1ExposureTextField_ = nullptr;
  QLineEdit* degreesToRotateTextField_ = nullptr;
  std::vector<QLabel*> rotationLabels_;
};

// `QVL3DViewerPreferences`: the viewer's settings.
class ViewerPreferencesPane : public QWidget {
  Q_OBJECT
public:
  explicit ViewerPreferencesPane(qv::Settings& settings, QWidget* parent = nullptr);
};

class PreferencesWindow : public QMainWindow {
  Q_OBJECT
public:
  PreferencesWindow(qv::Settings& settings, GeneralPreferencesDelegate* delegate, QWidget* parent = nullptr);
  PreferencesWindowPresenter& presenter() { return presenter_; }
  void selectPane(std::size_t index);
  void showWindow();

protected:
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  PreferencesWindowPresenter presenter_;
  QStackedWidget* stack_;
  std::vector<QAction*> actions_;
  bool placed_ = false;
  bool laidOut_ = false;
};

}  // namespace qv::screens
