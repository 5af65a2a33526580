// The delegate's life, its state and the pieces it is wired to.
#include "core/QVLAppDelegate.h"

#include "platform/Log.h"

std::shared_ptr<QVLAppDelegate> QVLAppDelegate::create(QVLAppEnvironment environment) {
  auto delegate = std::make_shared<QVLAppDelegate>(Private{}, std::move(environment));
  // The controller reports to the delegate from now on (arrivals come on the main queue).
  delegate->serialPortController_->setDelegate(delegate.get());
  return delegate;
}

QVLAppDelegate::QVLAppDelegate(Private, QVLAppEnvironment environment)
    : environment_(std::move(environment)),
      settings_(environment_.settings ? *environment_.settings : qv::Settings::standard()) {
  currentAppState_ = QVLAppStateIdle;
  fileOperationQueue_ = qv::makeSerialQueue("com.quorvel.FileQueue");
  lockQueue_ = qv::makeSerialQueue("Camera queue");
  serialPortController_ = environment_.portManager ? std::make_unique<QVLCControl>(environment_.portManager)
                                                   : std::make_unique<QVLCControl>();
  updater_ = std::make_shared<QVLUpdater>(settings_, environment_.buildVersion, environment_.updateFetcher);
}

QVLAppDelegate::~QVLAppDelegate() {
  // The controller holds a plain pointer to its delegate: it must hear nothing more.
  serialPortController_->setDelegate(nullptr);
  updater_->setDelegate(nullptr);
}

void QVLAppDelegate::setScreenHost(std::shared_ptr<QVLScreenHost> host) {
  std::lock_guard lock(mutex_);
  screenHost_ = std::move(host);
}

std::shared_ptr<QVLScreenHost> QVLAppDelegate::screenHost() const {
  std::lock_guard lock(mutex_);
  return screenHost_;
}

void QVLAppDelegate::setCleanUpHook(std::shared_ptr<QVLCleanUpHook> hook) {
  std::lock_guard lock(mutex_);
  cleanUpHook_ = std::move(hook);
}

void QVLAppDelegate::setMainViewController(std::shared_ptr<QVLMainViewControllerInterface> controller) {
  std::lock_guard lock(mutex_);
  mainViewController_ = std::move(controller);
}

void QVLAppDelegate::setSceneViewController(std::shared_ptr<QVLObjectSceneViewControllerInterface> controller) {
  std::lock_guard lock(mutex_);
  sceneViewController_ = std::move(controller);
}

std::shared_ptr<QVLObjectSceneViewControllerInterface> QVLAppDelegate::sceneViewController() const {
  std::lock_guard lock(mutex_);
  return sceneViewController_;
}

void QVLAppDelegate::setCameraConnection(std::shared_ptr<QVLCameraConnection> camera) {
  std::lock_guard lock(mutex_);
  camera_ = std::move(camera);
}

std::string QVLAppDelegate::modelToDisplayOnStartup() const {
  std::lock_guard lock(mutex_);
  return modelToDisplayOnStartup_;
}

void QVLAppDelegate::setModelToDisplayOnStartup(std::string path) {
  std::lock_guard lock(mutex_);
  modelToDisplayOnStartup_ = std::move(path);
}

void QVLAppDelegate::windowDidResize() {
  std::shared_ptr<QVLMainViewControllerInterface> main;
  std::shared_ptr<QVLObjectSceneViewControllerInterface> viewer;
  {
    std::lock_guard lock(mutex_);
    main = mainViewController_;
    viewer = sceneViewController_;
  }
  if (main) main->adjustLayout(false);
  if (viewer) viewer->windowDidResize();
}
