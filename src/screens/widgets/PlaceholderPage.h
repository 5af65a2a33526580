// A plain page for a screen that is not built yet (scan, manual scan, calibration, 3D viewer):
// it answers the operations the application drives it with and offers the way back.
#pragma once

#include <QLabel>
#include <QWidget>

#include "screens/ScreenInterfaces.h"

namespace qv::screens {

class PlaceholderPage : public QWidget,
                        public ViewerScreen,
                        public ScanScreen,
                        public ManualScanScreen,
                        public CalibrationScreen {
  Q_OBJECT

public:
  PlaceholderPage(ScreenKind kind, QWidget* parent = nullptr);
  ScreenKind kind() const { return kind_; }

  void loadScan(const qv::ObjectID& scan) override;
  bool canOpenFile() const override { return true; }
  void resetViewer() override {}
  void enableHeaderUI() override {}
  void windowDidResize() override {}
  bool meshNeedsSaving() const override { return false; }
  void saveAnyUnsavedChanges(std::function<void(bool)> done) override { done(false); }
  void resetView() override {}
  void startScan() override {}
  void connectAndMonitorScanner() override {}
  void resetContent() override {}

signals:
  void homeRequested();

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  ScreenKind kind_;
  QLabel* detail_;
};

}  // namespace qv::screens
