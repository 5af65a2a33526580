// The viewer's Clean panel (crop fields and sliders, the three auto-clean strengths, the brush
// with delete and clear, Reset, Cancel and Apply), the overlay that shows a stroke while it is
// painted, and the brush cursor's image. The controller decides; these only show and forward.
#pragma once

#include <QCursor>
#include <QWidget>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "viewer/model/CleaningDisplay.h"

class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;
class QVLObjectSceneViewController;

class QVLCleaningPanel : public QWidget {
  Q_OBJECT
public:
  QVLCleaningPanel(std::shared_ptr<QVLObjectSceneViewController> controller, QWidget* parent);

  void showPanels(const qv::viewer::CleaningPanels& panels);
  void setButtons(const qv::viewer::CleaningButtons& buttons);
  // Reads the crop values and their ranges from the controller again.
  void refreshCropValues();
  // Reads the layer rows from the controller again; the Layers section shows only when two or
  // more layers have visible points.
  void reloadLayers();
  // A button by its name: "cropping", "autoClean", "brush", "LightAutoClean", "MedAutoClean",
  // "HeavyAutoClean", "delete", "clear", "reset", "cancel", "apply".
  QPushButton* button(const std::string& name) const;
  QLineEdit* cropField(int which) const { return fields_[which]; }

private:
  QWidget* section(const char* name, const char* title, QWidget* content);
  QPushButton* addButton(const char* name, const char* title, QWidget* parent, bool accent = false);

  std::shared_ptr<QVLObjectSceneViewController> controller_;
  QListWidget* layers_ = nullptr;
  QPushButton* layersHeader_ = nullptr;
  QWidget* cropping_ = nullptr;
  QWidget* autoClean_ = nullptr;
  QWidget* brush_ = nullptr;
  QLineEdit* fields_[3] = {};
  QSlider* sliders_[3] = {};
  std::map<std::string, QPushButton*> buttons_;
  bool refreshing_ = false;
};

// Draws the points of the stroke being painted as brush circles over the scene.
class QVLBrushStrokeOverlay : public QWidget {
public:
  explicit QVLBrushStrokeOverlay(QWidget* parent);
  void setStroke(std::vector<qv::viewer::BrushPoint> points, float radius);
  const std::vector<qv::viewer::BrushPoint>& stroke() const { return points_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  std::vector<qv::viewer::BrushPoint> points_;
  float radius_ = 0;
};

// The cursor a brush cursor description stands for (the platform's closed hand, the arrow, or
// the drawn circle with its sign), drawn at the screen's pixel ratio.
QCursor cursorForBrush(const qv::viewer::BrushCursor& cursor, double pixelRatio);
