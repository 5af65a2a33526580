// `QVLAboutWindow`: the icon, the version and the acknowledgements.
#pragma once

#include <QLabel>
#include <QWidget>
#include <filesystem>
#include <functional>

namespace qv::screens {

class AboutWindow : public QWidget {
  Q_OBJECT
public:
  // `openFile` hands the acknowledgements to the desktop.
  AboutWindow(const QString& shortVersion, const QString& buildVersion, std::filesystem::path libraryFolder,
              std::function<void(const std::filesystem::path&)> openFile, QWidget* parent = nullptr);
  QString versionText() const { return versionTextField_->text(); }
  void acknowledgementButtonPressed();

private:
  QLabel* versionTextField_;
  std::filesystem::path libraryFolder_;
  std::function<void(const std::filesystem::path&)> openFile_;
};

}  // namespace qv::screens
