// `QVSLevelIndicator`: a self-drawn progress bar, white on accent green.
#pragma once

#include <QWidget>

namespace qv::screens {

class LevelIndicator : public QWidget {
  Q_OBJECT

public:
  explicit LevelIndicator(QWidget* parent = nullptr);
  double value() const { return value_; }
  double maxValue() const { return max_; }
  void setValue(double value);
  void setMaxValue(double max);
  QSize sizeHint() const override { return {320, 24}; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  double value_ = 0;
  double max_ = 1;
};

}  // namespace qv::screens
