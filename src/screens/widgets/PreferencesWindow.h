// The preferences window: a toolbar with one button per pane, the General and Viewer panes, and
// its corner, pane sizes and last pane kept in the settings.
#pragma once

#include <QActionGroup>
#include <QCheckBox>
#include <QSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QStackedWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Settings.h"
#include "screens/GeneralPreferencesPresenter.h"
#include "screens/PreferenceFields.h"
#include "screens/PreferencesWindowPresenter.h"

namespace qv::screens {

// A pane whose controls show settings: each control is filled again whenever its setting
// changes (whoever wrote it) and whenever the pane is shown, so the window never holds a stale
// value that it could write back.
class SettingsBoundPane : public QWidget {
public:
  SettingsBoundPane(qv::Settings& settings, QWidget* parent) : QWidget(parent), settings_(settings) {}
  // Fills every control from its setting.
  void refreshAll();

protected:
  qv::Settings& settings() const { return settings_; }
  QCheckBox* boundCheck(const char* key, const QString& text, QWidget* parent);
  QSpinBox* boundSpin(const char* key, int low, int high, QWidget* parent);
  QLineEdit* boundField(const PreferenceField& field, QWidget* parent);
  // Starts following the settings of the controls made so far.
  void followSettings();
  void showEvent(QShowEvent* event) override;

private:
  void refresh(const std::string& key);
  qv::Settings& settings_;
  std::map<std::string, std::function<void()>> refreshers_;
  std::unique_ptr<PreferenceBindings> bindings_;
};

// `QVLGeneralPreferences`: scan and connection settings and the scanner reset.
class GeneralPreferencesPane : public SettingsBoundPane, public GeneralPreferencesView {
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
class ViewerPreferencesPane : public SettingsBoundPane {
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
