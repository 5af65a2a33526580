// The main screen's widget: shows what the presenter decides and hands it the user's clicks.
#pragma once

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "screens/MainScreenPresenter.h"
#include "screens/widgets/SquareButton.h"

namespace qv::screens {

class RecentTile;

class MainScreenWidget : public QWidget, public MainScreenView {
  Q_OBJECT

public:
  explicit MainScreenWidget(std::shared_ptr<MainScreenPresenter> presenter, QWidget* parent = nullptr);
  ~MainScreenWidget() override;
  MainScreenPresenter& presenter() const { return *presenter_; }

  // MainScreenView
  void setScanButtonsEnabled(bool enabled) override;
  void setScannerAttached(bool attached) override;
  void setScannerConnecting(bool connecting) override;
  void setTiles(const std::vector<MruItem>& tiles) override;
  void hideTileLabels() override;
  double tileRowWidth() const override;
  void showFirstRunView() override;
  void restoreAfterFirstRun() override;
  bool isFirstRunViewShown() const override;
  void fadeOutFirstRunView(double seconds, std::function<void()> done) override;
  void setBottomLabelText(const std::string& text) override;
  std::string bottomLabelText() const override;
  void setBottomLabelAlpha(double alpha) override;
  void setHideBottomPanelButtonHidden(bool hidden) override;
  void animateBottomPanelHeight(double height, double seconds, std::function<void()> done) override;
  void animateBottomLabelAlpha(double alpha, double seconds, std::function<void()> done) override;

  // The "TileBackground" image of a scan without a thumbnail.
  static QPixmap tileBackground(const QSize& size);

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  QWidget* makeCard(const QString& title, const QString& detail, SquareButton* button);
  QWidget* makeFirstRunView();
  void placeOverlays();

  std::shared_ptr<MainScreenPresenter> presenter_;
  SquareButton* autoScanButton_;
  SquareButton* manualScanButton_;
  SquareButton* calibrateScannerButton_;
  SquareButton* openScanButton_;
  QWidget* cards_;
  QWidget* disabledButtonsView_;
  QLabel* veilText_ = nullptr;
  QLabel* recentTitle_;
  QWidget* collectionView_;
  QHBoxLayout* tileLayout_;
  QLabel* emptyRecent_;
  QFrame* bottomInfoPanel_;
  QLabel* bottomInfoLabel_;
  QGraphicsOpacityEffect* bottomLabelOpacity_;
  QPushButton* hideBottomPanelButton_;
  QPointer<QWidget> firstRunSetupView_;
  std::vector<RecentTile*> tiles_;
};

}  // namespace qv::screens
