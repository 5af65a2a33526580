// The About window.
#include "screens/widgets/AboutWindow.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "platform/Paths.h"
#include "screens/AboutPresenter.h"
#include "screens/widgets/AppIcon.h"

namespace qv::screens {

AboutWindow::AboutWindow(const QString& shortVersion, const QString& buildVersion, std::filesystem::path libraryFolder,
                         std::function<void(const std::filesystem::path&)> openFile, QWidget* parent)
    : QWidget(parent, Qt::Window), libraryFolder_(std::move(libraryFolder)), openFile_(std::move(openFile)) {
  setWindowTitle(tr("About Quorvel"));
  setObjectName("AboutWindow");
  setAttribute(Qt::WA_StyledBackground);
  setStyleSheet("#AboutWindow { background-color: white; }");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(36, 28, 36, 24);
  auto* icon = new QLabel(this);
  icon->setPixmap(appIconPixmap(96));
  layout->addWidget(icon, 0, Qt::AlignHCenter);
  auto* name = new QLabel(tr("Quorvel"), this);
  QFont font = name->font();
  font.setPointSize(20);
  font.setBold(true);
  name->setFont(font);
  layout->addWidget(name, 0, Qt::AlignHCenter);
  versionTextField_ = new QLabel(
      QString::fromStdString(aboutVersionText(shortVersion.toStdString(), buildVersion.toStdString())), this);
  versionTextField_->setStyleSheet("color: #595959;");
  versionTextField_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(versionTextField_, 0, Qt::AlignHCenter);
  auto* blurb = new QLabel(tr("Scans, cleans, meshes and exports objects\nturned on the laser scanner's turntable."), this);
  blurb->setAlignment(Qt::AlignCenter);
  blurb->setStyleSheet("color: #595959;");
  layout->addSpacing(8);
  layout->addWidget(blurb, 0, Qt::AlignHCenter);
  layout->addSpacing(14);
  auto* credits = new QPushButton(tr("Acknowledgements"), this);
  connect(credits, &QPushButton::clicked, this, &AboutWindow::acknowledgementButtonPressed);
  layout->addWidget(credits, 0, Qt::AlignHCenter);
  setFixedSize(sizeHint().expandedTo(QSize(340, 0)));
}

void AboutWindow::acknowledgementButtonPressed() {
  openCredits(libraryFolder_, qv::paths::resourcePath("Credits.rtf"), openFile_);
}

}  // namespace qv::screens
