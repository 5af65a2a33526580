// `QVSSquareButton`: a flat button in one of four styles, drawn at 0.6 alpha when disabled.
#pragma once

#include <QPushButton>

namespace qv::screens {

class SquareButton : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(int buttonStyle READ buttonStyle WRITE setButtonStyle NOTIFY buttonStyleChanged)

public:
  explicit SquareButton(const QString& title = {}, QWidget* parent = nullptr);
  int buttonStyle() const { return style_; }
  void setButtonStyle(int style);
  QSize sizeHint() const override;
  // The title colour (`textColour`), until the next change of style.
  QColor textColour() const { return title_; }
  void setTextColour(const QColor& colour) {
    title_ = colour;
    update();
  }

signals:
  void buttonStyleChanged(int style);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  int style_;
  QColor title_ = Qt::black;
  QColor background_ = Qt::white;
};

}  // namespace qv::screens
