// `QVLProgressViewController`: the full-window overlay shown while a file is read.
#pragma once

#include <QLabel>
#include <QWidget>

#include "screens/widgets/LevelIndicator.h"
#include "screens/widgets/SquareButton.h"

namespace qv::screens {

class ProgressOverlay : public QWidget {
  Q_OBJECT

public:
  explicit ProgressOverlay(QWidget* parent = nullptr);
  void setProgress(float fraction) { indicator_->setValue(fraction); }
  void setText(const QString& text) { label_->setText(text); }

signals:
  void cancelRequested();

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  LevelIndicator* indicator_;
  QLabel* label_;
  SquareButton* cancel_;
};

}  // namespace qv::screens
