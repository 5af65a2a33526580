// The calibration wizard's page: one content page per state of the presenter, the animated
// pictures of the target on the bed, and the progress of a running pass.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>

#include "screens/CalibrationWizardPresenter.h"
#include "screens/ScreenInterfaces.h"

class QMovie;

namespace qv::screens {

class LevelIndicator;
class SquareButton;

// One animated picture: the named GIF through QMovie when the picture exists and Qt reads GIF,
// else the same scene drawn frame by frame on a timer. "@2x" pictures at a pixel ratio of 2 or more.
class CalibrationAnimationView : public QWidget {
  Q_OBJECT
public:
  CalibrationAnimationView(const QString& resourceName, QWidget* parent = nullptr);
  // The file name asked for at a device pixel ratio ("X.gif" or "X@2x.gif").
  static QString resourceFileName(const QString& name, double devicePixelRatio);
  // The folder the pictures are looked for in: the resource folder, as for every other resource.
  static QString resourceFolder();
  bool isPlayingMovie() const { return movie_ != nullptr; }
  QString loadedFileName() const { return loaded_; }
  QSize sizeHint() const override { return {360, 240}; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  void load();
  void drawFrame(QPainter& painter, double phase) const;

  QString name_, loaded_;
  QMovie* movie_ = nullptr;
  QTimer timer_;
  int frame_ = 0;
};

class CalibrationWizardPage : public QWidget, public CalibrationScreen, public CalibrationWizardView {
  Q_OBJECT
public:
  CalibrationWizardPage(CalibrationRunner& runner, CalibrationNotifier* notifier, QWidget* parent = nullptr);
  ~CalibrationWizardPage() override;
  CalibrationWizardPresenter& presenter() { return *presenter_; }

  // CalibrationScreen
  void resetContent() override { presenter_->resetContent(); }
  // CalibrationWizardView
  void showPage(CalibrationPage page, bool whiteBackground) override;
  void setCancelButton(const std::string& title, bool enabled) override;
  void setTitleText(const std::string& text) override;
  void setProgressText(const std::string& text) override;
  void setProgress(double fraction, bool visible) override;
  void setFailureMessage(const std::string& text) override;

  CalibrationPage currentPage() const { return page_; }
  // The button of the current page with this title (for tests), nullptr when none.
  QPushButton* button(const QString& title) const;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QWidget* makePage(CalibrationPage page, const QString& heading, const QString& text, const QString& animation);
  SquareButton* addButton(QWidget* page, const QString& title, int style, void (CalibrationWizardPresenter::*action)());

  std::shared_ptr<CalibrationWizardPresenter> presenter_;
  QStackedWidget* stack_;
  std::map<CalibrationPage, QWidget*> pages_;
  CalibrationPage page_ = CalibrationPage::None;
  bool white_ = false;
  QLabel* titleLabel_ = nullptr;
  QLabel* progressLabel_ = nullptr;
  LevelIndicator* progressIndicator_ = nullptr;
  SquareButton* cancelActiveScanButton_ = nullptr;
  QLabel* failedMessageLabel_ = nullptr;
};

}  // namespace qv::screens
