// The small views the screens share, each changing one behaviour of its Qt base: which events it
// takes, how it is drawn, or whom it tells about a click.
#pragma once

#include <QAbstractScrollArea>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTableView>
#include <QWidget>

#include "screens/PointSelectionOverlayModel.h"

namespace qv::screens {

// `QVSHudButton`: a white title, and a double click acts once (only the first press counts).
class HudButton : public QPushButton {
  Q_OBJECT
public:
  explicit HudButton(const QString& title = {}, QWidget* parent = nullptr);

protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
};

// `QVLClickTableView`: tells the row clicked after the base has handled the press (selection
// first); a click below the last row tells nothing. While it has the focus the selected row is
// painted in the accent green.
class ClickTableView : public QTableView {
  Q_OBJECT
public:
  explicit ClickTableView(QWidget* parent = nullptr);
signals:
  void didClickRow(int row);

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

// `QVLNotificationSlider`: tells when a mouse press on it has ended.
class NotificationSlider : public QSlider {
  Q_OBJECT
public:
  using QSlider::QSlider;
signals:
  void mouseClicked();

protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// `QVLNotificationTextField`: tells when it gains the keyboard focus.
class NotificationTextField : public QLineEdit {
  Q_OBJECT
public:
  using QLineEdit::QLineEdit;
signals:
  void didBecomeFirstResponder();

protected:
  void focusInEvent(QFocusEvent* event) override;
};

// `QVLNonInteractiveTextField`: a label that clicks pass through.
class NonInteractiveLabel : public QLabel {
  Q_OBJECT
public:
  explicit NonInteractiveLabel(const QString& text = {}, QWidget* parent = nullptr);
};

// `QVLPassiveScrollView`: hands its wheel events to another scroll area when one is set.
class PassiveScrollArea : public QAbstractScrollArea {
  Q_OBJECT
public:
  using QAbstractScrollArea::QAbstractScrollArea;
  void setActiveScrollArea(QAbstractScrollArea* active) { active_ = active; }

protected:
  void wheelEvent(QWheelEvent* event) override;

private:
  QPointer<QAbstractScrollArea> active_;
};

// `QVLOpaqueView`: swallows mouse and wheel events, so nothing beneath it sees them.
class OpaqueView : public QWidget {
  Q_OBJECT
public:
  using QWidget::QWidget;

protected:
  bool event(QEvent* event) override;
};

// `QVLWindowBackgroundView`: filled with the accent green.
class WindowBackgroundView : public QWidget {
  Q_OBJECT
public:
  using QWidget::QWidget;

protected:
  void paintEvent(QPaintEvent* event) override;
};

// `QVLPointSelectionOverlayView`: transparent, with the brush's circles in red at half alpha.
class PointSelectionOverlayView : public QWidget {
  Q_OBJECT
public:
  explicit PointSelectionOverlayView(QWidget* parent = nullptr);
  void addPoint(double x, double y, double radius);
  void removeAllPoints();
  const PointSelectionOverlayModel& model() const { return model_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  PointSelectionOverlayModel model_;
};

// `QVLExportPopoverView`: white, with a thin separator 5 points above and below each of its two
// labels.
class ExportPopoverView : public QWidget {
  Q_OBJECT
public:
  using QWidget::QWidget;
  void setLabels(QWidget* pointCloud, QWidget* meshed) {
    labelPointCloud_ = pointCloud;
    labelMeshed_ = meshed;
    update();
  }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QPointer<QWidget> labelPointCloud_, labelMeshed_;
};

// `QVLCloudTableCellView`: one cell of the viewer's layer table, remembering its layer.
class CloudTableCellView : public QWidget {
  Q_OBJECT
public:
  explicit CloudTableCellView(int layerIndex, const QString& name, QWidget* parent = nullptr);
  int layerIndex() const { return layerIndex_; }
  QLabel* layerName() const { return layerName_; }

private:
  int layerIndex_;
  QLabel* layerName_;
};

}  // namespace qv::screens
