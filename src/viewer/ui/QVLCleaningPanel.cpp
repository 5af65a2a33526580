// The Clean panel, the stroke overlay and the brush cursor.
#include "viewer/ui/QVLCleaningPanel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>

#include "viewer/model/QVLObjectSceneViewController.h"

namespace {

constexpr const char* kPanelStyle =
    "QLabel { color: rgb(60, 60, 60); }"
    "QLabel#title { font-weight: bold; font-size: 14px; color: rgb(40, 40, 40); }"
    "QLabel#hint { color: rgb(110, 110, 110); font-size: 11px; }"
    "QPushButton { background: white; color: rgb(17, 217, 127); border: 1px solid rgb(17, 217, 127);"
    "  border-radius: 3px; padding: 5px 8px; font-weight: bold; }"
    "QPushButton:disabled { color: rgba(17, 217, 127, 110); border-color: rgba(17, 217, 127, 110); }"
    "QPushButton[accent=\"true\"] { background: rgb(17, 217, 127); color: white; }"
    "QPushButton[accent=\"true\"]:disabled { background: rgba(17, 217, 127, 110); }"
    "QPushButton[section=\"true\"] { background: transparent; color: rgb(40, 40, 40); border: none;"
    "  border-bottom: 1px solid rgb(215, 215, 215); border-radius: 0; text-align: left; padding: 8px 2px; }"
    "QPushButton[section=\"true\"]:checked { color: rgb(17, 217, 127); }"
    "QLineEdit { background: white; border: 1px solid rgb(200, 200, 200); padding: 3px; }";

constexpr int kLayerRowHeight = 30;

// The panel is 250 wide with 16 on each side: wrapped texts get that width to size their height.
constexpr int kTextWidth = 218;

// Sliders move in steps of 0.1 scan units.
int sliderValue(float v) { return static_cast<int>(std::lround(v * 10.0f)); }

}  // namespace

QVLCleaningPanel::QVLCleaningPanel(std::shared_ptr<QVLObjectSceneViewController> controller, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)) {
  setObjectName("cleaningPanel");
  setStyleSheet(kPanelStyle);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(4);
  auto* title = new QLabel(tr("Clean"), this);
  title->setObjectName("title");
  layout->addWidget(title);

  // The scan's layers (one per laser pass): a click hides or shows one, as in the scene's list.
  layers_ = new QListWidget(this);
  layers_->setObjectName("cleaningLayers");
  layers_->setStyleSheet("QListWidget { background: white; border: none; }");
  connect(layers_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { controller_->layerTableDidClickRow(layers_->row(item)); });
  layersHeader_ = addButton("layers", "Layers", this);
  layersHeader_->setProperty("section", true);
  layersHeader_->setCheckable(true);
  // The same list as the header's layer button: the viewer decides whether it opens.
  connect(layersHeader_, &QPushButton::clicked, this, [this] { controller_->pointCloudButtonPressed(); });
  layout->addWidget(layersHeader_);
  layout->addWidget(layers_);

  // Cropping: from the bottom, from the top, by radius.
  cropping_ = new QWidget(this);
  auto* crop = new QVBoxLayout(cropping_);
  crop->setContentsMargins(0, 4, 0, 8);
  const char* cropTitles[3] = {"From the bottom", "From the top", "By radius"};
  for (int i = 0; i < 3; ++i) {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(tr(cropTitles[i]), cropping_), 1);
    fields_[i] = new QLineEdit(cropping_);
    fields_[i]->setFixedWidth(64);
    fields_[i]->setAlignment(Qt::AlignRight);
    row->addWidget(fields_[i]);
    crop->addLayout(row);
    sliders_[i] = new QSlider(Qt::Horizontal, cropping_);
    crop->addWidget(sliders_[i]);
    connect(fields_[i], &QLineEdit::editingFinished, this, [this, i] {
      if (refreshing_) return;
      const std::string text = fields_[i]->text().toStdString();
      if (i == 0) controller_->setYCutOffText(text);
      else if (i == 1) controller_->setTopYCutOffText(text);
      else controller_->setRadiusCutOffText(text);
      refreshCropValues();
    });
    connect(sliders_[i], &QSlider::valueChanged, this, [this, i](int value) {
      if (refreshing_) return;
      const float v = static_cast<float>(value) / 10.0f;
      if (i == 0) controller_->setYCutOff(v);
      else if (i == 1) controller_->setTopYCutOff(v);
      else controller_->setRadiusCutOff(v);
      refreshCropValues();
    });
  }
  layout->addWidget(section("cropping", "Crop", cropping_));
  layout->addWidget(cropping_);

  // Auto-clean in three strengths.
  autoClean_ = new QWidget(this);
  auto* autoLayout = new QVBoxLayout(autoClean_);
  autoLayout->setContentsMargins(0, 4, 0, 8);
  auto* hint = new QLabel(tr("Removes points that lie apart from the surface."), autoClean_);
  hint->setObjectName("hint");
  hint->setWordWrap(true);
  hint->setFixedWidth(kTextWidth);
  autoLayout->addWidget(hint);
  auto* strengths = new QHBoxLayout;
  for (auto [id, name] : {std::pair{"LightAutoClean", "Light"}, {"MedAutoClean", "Medium"}, {"HeavyAutoClean", "Heavy"}}) {
    QPushButton* b = addButton(id, name, autoClean_);
    connect(b, &QPushButton::clicked, this, [this, id = std::string(id)] { controller_->autoCleanModelButtonPressed(id); });
    strengths->addWidget(b);
  }
  autoLayout->addLayout(strengths);
  layout->addWidget(section("autoClean", "Auto Clean", autoClean_));
  layout->addWidget(autoClean_);

  // The brush and what it selects.
  brush_ = new QWidget(this);
  auto* brushLayout = new QVBoxLayout(brush_);
  brushLayout->setContentsMargins(0, 4, 0, 8);
  auto* brushHint = new QLabel(tr("Paint over points to select them: Shift adds, Control removes. Hold Space to turn "
                                  "the view; [ and ] change the brush size."),
                               brush_);
  brushHint->setObjectName("hint");
  brushHint->setWordWrap(true);
  brushHint->setFixedWidth(kTextWidth);
  brushLayout->addWidget(brushHint);
  auto* selection = new QHBoxLayout;
  QPushButton* del = addButton("delete", "Delete", brush_);
  QPushButton* clear = addButton("clear", "Clear", brush_);
  connect(del, &QPushButton::clicked, this, [this] { controller_->deletePointsButtonPressed(); });
  connect(clear, &QPushButton::clicked, this, [this] { controller_->clearSelectionButtonPressed(); });
  selection->addWidget(del);
  selection->addWidget(clear);
  brushLayout->addLayout(selection);
  layout->addWidget(section("brush", "Brush", brush_));
  layout->addWidget(brush_);

  layout->addStretch(1);
  auto* bottom = new QHBoxLayout;
  QPushButton* reset = addButton("reset", "Reset", this);
  QPushButton* cancel = addButton("cancel", "Cancel", this);
  QPushButton* apply = addButton("apply", "Apply", this, true);
  connect(reset, &QPushButton::clicked, this, [this] { controller_->resetChangesButtonPressed(); });
  connect(cancel, &QPushButton::clicked, this, [this] { controller_->cancelChangesButtonPressed(); });
  connect(apply, &QPushButton::clicked, this, [this] { controller_->applyChangesPressed(); });
  bottom->addWidget(reset);
  bottom->addWidget(cancel);
  bottom->addWidget(apply);
  layout->addLayout(bottom);

  showPanels({});
}

QPushButton* QVLCleaningPanel::addButton(const char* name, const char* title, QWidget* parent, bool accent) {
  auto* b = new QPushButton(tr(title), parent);
  b->setObjectName(name);
  b->setCursor(Qt::PointingHandCursor);
  if (accent) b->setProperty("accent", true);
  buttons_[name] = b;
  return b;
}

QWidget* QVLCleaningPanel::section(const char* name, const char* title, QWidget*) {
  QPushButton* b = addButton(name, title, this);
  b->setProperty("section", true);
  b->setCheckable(true);
  const std::string which = name;
  connect(b, &QPushButton::clicked, this, [this, which] {
    if (which == "cropping") controller_->croppingButtonPressed();
    else if (which == "autoClean") controller_->autoCleanButtonPressed();
    else controller_->brushCleaningButtonPressed();
  });
  return b;
}

QPushButton* QVLCleaningPanel::button(const std::string& name) const {
  auto it = buttons_.find(name);
  return it == buttons_.end() ? nullptr : it->second;
}

void QVLCleaningPanel::reloadLayers() {
  const std::vector<QVLLayerState> rows = controller_->layerRows();
  layers_->clear();
  int withPoints = 0;
  for (const QVLLayerState& layer : rows) {
    auto* item = new QListWidgetItem(QString::fromUtf8("\u2713  ") + QString::fromStdString(layer.layerName()));
    item->setSizeHint(QSize(200, kLayerRowHeight));
    item->setForeground(layer.isEnabled ? QColor(40, 40, 40) : QColor(40, 40, 40, 51));
    layers_->addItem(item);
    if (layer.numberOfPoints != 0 && layer.numberOfVisiblePoints != 0) ++withPoints;
  }
  layers_->setFixedHeight(static_cast<int>(rows.size()) * kLayerRowHeight + 4);
  // One layer has nothing to choose between: the section is shown only for two or more.
  layersHeader_->setVisible(withPoints > 1);
  if (withPoints <= 1) layers_->setVisible(false);
}

void QVLCleaningPanel::showPanels(const qv::viewer::CleaningPanels& panels) {
  layersHeader_->setChecked(panels.layerTable);
  layers_->setVisible(panels.layerTable && layersHeader_->isVisible());
  cropping_->setVisible(panels.cropping);
  autoClean_->setVisible(panels.autoClean);
  brush_->setVisible(panels.brush);
  buttons_["cropping"]->setChecked(panels.cropping);
  buttons_["autoClean"]->setChecked(panels.autoClean);
  buttons_["brush"]->setChecked(panels.brush);
  if (panels.cropping) refreshCropValues();
}

void QVLCleaningPanel::setButtons(const qv::viewer::CleaningButtons& buttons) {
  for (const char* id : {"LightAutoClean", "MedAutoClean", "HeavyAutoClean"}) buttons_[id]->setEnabled(buttons.autoClean);
  buttons_["apply"]->setEnabled(buttons.apply);
}

void QVLCleaningPanel::refreshCropValues() {
  refreshing_ = true;
  const float ranges[3][2] = {{controller_->minYValue(), controller_->maxYValue()},
                              {controller_->minYValue(), controller_->maxYValue()},
                              {0.0f, controller_->maxRadiusValue()}};
  const float values[3] = {controller_->yCutOff(), controller_->topYCutOff(), controller_->radiusCutOff()};
  const std::string texts[3] = {controller_->yCutOffText(), controller_->topYCutOffText(), controller_->radiusCutOffText()};
  for (int i = 0; i < 3; ++i) {
    sliders_[i]->setRange(sliderValue(ranges[i][0]), sliderValue(ranges[i][1]));
    sliders_[i]->setValue(sliderValue(values[i]));
    if (!fields_[i]->hasFocus()) fields_[i]->setText(QString::fromStdString(texts[i]));
  }
  refreshing_ = false;
}

QVLBrushStrokeOverlay::QVLBrushStrokeOverlay(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
}

void QVLBrushStrokeOverlay::setStroke(std::vector<qv::viewer::BrushPoint> points, float radius) {
  points_ = std::move(points);
  radius_ = radius;
  update();
}

void QVLBrushStrokeOverlay::paintEvent(QPaintEvent*) {
  if (points_.empty()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // One path of every circle, filled once in red at half strength; overlapping circles must
  // not cancel each other out, so the path fills by winding.
  QPainterPath path;
  path.setFillRule(Qt::WindingFill);
  for (const auto& p : points_) path.addEllipse(QPointF(p.x, p.y), radius_, radius_);
  painter.fillPath(path, QColor(255, 0, 0, 128));
}

QCursor cursorForBrush(const qv::viewer::BrushCursor& c, double pixelRatio) {
  using Kind = qv::viewer::BrushCursor::Kind;
  if (c.kind == Kind::ClosedHand) return QCursor(Qt::ClosedHandCursor);
  if (c.kind != Kind::Brush) return QCursor(Qt::ArrowCursor);
  const int side = static_cast<int>(std::ceil(c.imageSize * pixelRatio));
  QPixmap image(side, side);
  image.setDevicePixelRatio(pixelRatio);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF circle(c.circleX, c.circleY, c.circleSize, c.circleSize);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QColor(0, 0, 0, 128), 3));
  painter.drawEllipse(circle);
  painter.setPen(QPen(Qt::white, 1));
  painter.drawEllipse(circle);
  if (!c.sign.empty()) {
    QFont font;
    font.setPixelSize(static_cast<int>(c.fontSize));
    QPainterPath text;
    const QFontMetricsF metrics(font);
    text.addText(QPointF(c.signLeft, c.signBottom - metrics.descent()), font, QString::fromStdString(c.sign));
    painter.strokePath(text, QPen(Qt::white, 2.5));  // the outline first, then the fill
    painter.fillPath(text, Qt::black);
  }
  painter.end();
  return QCursor(image, static_cast<int>(std::lround(c.hotSpotX)), static_cast<int>(std::lround(c.hotSpotY)));
}
