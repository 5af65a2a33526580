// `QVLWaitingView`: a white triangle whose sides light in turn, five steps a second.
#pragma once

#include <QTimer>
#include <QWidget>

namespace qv::screens {

class WaitingView : public QWidget {
  Q_OBJECT

public:
  explicit WaitingView(QWidget* parent = nullptr);
  int counter() const { return counter_; }
  void setCounter(int counter) { counter_ = counter >= 7 ? 1 : counter; update(); }
  QSize sizeHint() const override { return {80, 80}; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QTimer timer_;
  int counter_ = 0;
};

}  // namespace qv::screens
