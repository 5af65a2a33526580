// The manual scan screen's page: the setting fields with their sliders and option panels, six
// thumbnails and a large picture, the analysis summary, head and bed buttons, and the tuning panel.
#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <array>
#include <map>
#include <memory>

#include "platform/Settings.h"
#include "screens/AdvancedScanPresenter.h"
#include "screens/ScreenInterfaces.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTextBrowser;

namespace qv::screens {

class LevelIndicator;
class NotificationSlider;
class NotificationTextField;

// A camera frame as a picture (the alpha byte is ignored: frames are opaque).
QImage imageFromDisplayImage(const DisplayImage& image);

// One picture slot: the picture, a spinner while it waits for a new one, and the selection frame.
class AdvancedScanThumbnail : public QAbstractButton {
  Q_OBJECT
public:
  explicit AdvancedScanThumbnail(QWidget* parent = nullptr);
  void setPicture(const QImage& image);
  void setBusy(bool busy, double alpha);
  void setHighlighted(bool highlighted);
  bool isBusy() const { return busy_; }
  bool isHighlighted() const { return highlighted_; }
  const QImage& picture() const { return image_; }
  QSize sizeHint() const override { return {130, 98}; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QImage image_;
  bool busy_ = true, highlighted_ = false;
  double alpha_ = 0.4;
  int phase_ = 0;
  QTimer spin_;
};

// The large picture, drawn at an opacity.
class AdvancedScanImageView : public QWidget {
  Q_OBJECT
public:
  explicit AdvancedScanImageView(QWidget* parent = nullptr) : QWidget(parent) {}
  void setPicture(const QImage& image, double alpha);
  const QImage& picture() const { return image_; }
  double alpha() const { return alpha_; }
  // Where the picture lies in the view.
  QRect pictureRect() const;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QImage image_;
  double alpha_ = 1.0;
};

class AdvancedScanPage : public QWidget, public ManualScanScreen, public AdvancedScanView {
  Q_OBJECT
public:
  AdvancedScanPage(std::shared_ptr<AdvancedScanDelegate> delegate, qv::Settings& settings, QWidget* parent = nullptr);
  ~AdvancedScanPage() override;
  AdvancedScanPresenter& presenter() { return *presenter_; }

  // ManualScanScreen
  void connectAndMonitorScanner() override { presenter_->connectAndMonitorScanner(); }

  // AdvancedScanView
  void setButtonEnabled(AdvancedScanButton button, bool enabled) override;
  void focusField(AdvancedScanField field) override;
  bool isFieldFocused(AdvancedScanField field) const override;
  void clearFocus() override;
  void settingsChanged() override;
  void setOptionShown(AdvancedScanOption option, bool shown, bool animated, std::function<void()> done) override;
  void updateThumbnail(int slot, const DisplayImage& image, bool busy, double alpha) override;
  void showLargeImage(const DisplayImage& image, double alpha) override;
  void setHighlightedSlot(std::optional<int> slot) override;
  void showSummaryPage(const std::string& html, const std::optional<std::filesystem::path>& base) override;
  void setTuningPanelShown(bool shown) override;
  void setTuningProgress(double percent) override;
  void showMessage(const std::string& text) override;

  // For tests and screenshots.
  QPushButton* button(AdvancedScanButton button) const { return buttons_.at(button); }
  NotificationTextField* field(AdvancedScanField field) const { return fields_.at(field); }
  NotificationSlider* slider(AdvancedScanField field) const { return sliders_.count(field) ? sliders_.at(field) : nullptr; }
  AdvancedScanThumbnail* thumbnail(int slot) const { return thumbnails_.at(static_cast<std::size_t>(slot)); }
  AdvancedScanImageView* largeImage() const { return large_; }
  QTextBrowser* summary() const { return summary_; }
  QWidget* tuningPanel() const { return tuningPanel_; }
  QLabel* messageLabel() const { return message_; }

protected:
  void resizeEvent(QResizeEvent* event) override;

private:
  QWidget* buildOptions();
  QWidget* settingRow(const QString& title, AdvancedScanField field, int tableSize);
  QPushButton* makeButton(AdvancedScanButton kind, const QString& title, const QString& identifier);
  QWidget* optionPanel(AdvancedScanOption option, bool fixedPanel = false) const;

  std::shared_ptr<AdvancedScanPresenter> presenter_;
  std::map<AdvancedScanButton, QPushButton*> buttons_;
  std::map<AdvancedScanField, NotificationTextField*> fields_;
  std::map<AdvancedScanField, NotificationSlider*> sliders_;
  std::array<AdvancedScanThumbnail*, 6> thumbnails_{};
  AdvancedScanImageView* large_ = nullptr;
  QTextBrowser* summary_ = nullptr;
  QCheckBox *adaptive_ = nullptr, *colour_ = nullptr, *highContrast_ = nullptr;
  QCheckBox *lock_ = nullptr, *alternateLock_ = nullptr;
  QWidget *adaptivePanel_ = nullptr, *fixedPanel_ = nullptr, *colourPanel_ = nullptr, *highContrastPanel_ = nullptr;
  QWidget* tuningPanel_ = nullptr;
  LevelIndicator* tuningProgress_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace qv::screens
