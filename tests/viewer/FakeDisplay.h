// A display that records what the viewer's rules ask of it and answers questions as told, and a
// notifier that records what it was told to tell the user.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "viewer/model/ObjectSceneDisplay.h"
#include "viewer/model/UserNotifier.h"

class FakeDisplay : public qv::viewer::ObjectSceneDisplay {
public:
  void showBusyView(const std::string& text, std::function<void()> shown) override {
    busyTexts.push_back(text);
    busyShown = true;
    if (shown) shown();
  }
  void dismissBusyView(std::function<void()> dismissed) override {
    busyShown = false;
    ++dismissals;
    if (dismissed) dismissed();
  }
  void setPointCountLabel(const std::string& text) override { label = text; }
  void setHeaderButtons(qv::viewer::HeaderButtons b) override { buttons = b; }
  void setHeaderBlocked(bool blocked) override { headerBlocked = blocked; }
  void setHomeButtonEnabled(bool enabled) override { homeEnabled = enabled; }
  void setBackgroundColour(qv::scene::Colour c) override { background = c; }
  void reloadLayerTable() override { ++tableReloads; }
  void showRightPanel(qv::viewer::RightPanel p) override { panel = p; }
  void showExportPopover(const qv::viewer::ExportChoices& c) override {
    popover = c;
    popoverShown = true;
  }
  void closeExportPopover() override { popoverShown = false; }
  bool isExportPopoverShown() const override { return popoverShown; }
  void setNeedsDisplay() override { ++redraws; }
  void setPointRendering(float size, bool smoothing) override {
    pointSize = size;
    smooth = smoothing;
  }
  void setWindowTitle(const std::string& t) override { title = t; }
  float viewWidth() const override { return 400; }
  float viewHeight() const override { return 300; }
  double backingScale() const override { return scale; }
  std::optional<qv::scene::Image> sceneImage() override {
    if (!drawable) return std::nullopt;  // as where no OpenGL can be had
    qv::scene::Image image;
    image.width = 400;
    image.height = 300;
    image.pixels.assign(400 * 300 * 3, 0);
    // Blue on the left half, red on the right: the thumbnail takes the centred square.
    for (int y = 0; y < 300; ++y)
      for (int x = 0; x < 400; ++x) image.pixels[(y * 400 + x) * 3 + (x < 200 ? 2 : 0)] = 200;
    return image;
  }
  void askToSaveChanges(const std::string& text, std::function<void(qv::viewer::SaveChangesAnswer)> answer) override {
    saveQuestions.push_back(text);
    answer(saveAnswer);
  }
  void askForSavePath(const std::string& proposed, const std::string& ext,
                      std::function<void(std::optional<std::string>)> answer) override {
    suggestedNames.push_back(std::filesystem::path(proposed).filename().string());
    suggestedFolders.push_back(std::filesystem::path(proposed).parent_path().string());
    panelExtensions.push_back(ext);
    answer(savePath);
  }
  void askToReplaceFile(const std::string& fileName, std::function<void(bool)> answer) override {
    replaceQuestions.push_back(fileName);
    answer(replaceAnswer);
  }
  void showAlert(const std::string& message, const std::string& text, std::function<void()> dismissed) override {
    alerts.push_back(message + ": " + text);
    if (dismissed) dismissed();
  }

  // What the rules asked for.
  std::vector<std::string> busyTexts, saveQuestions, suggestedNames, suggestedFolders, panelExtensions, alerts, replaceQuestions;
  bool busyShown = false, headerBlocked = false, homeEnabled = true, popoverShown = false, smooth = false;
  int dismissals = 0, tableReloads = 0, redraws = 0;
  std::string label, title;
  float pointSize = 0;
  double scale = 1;
  qv::viewer::HeaderButtons buttons = qv::viewer::HeaderButtons::ShownDisabled;
  qv::viewer::RightPanel panel = qv::viewer::RightPanel::Closed;
  qv::viewer::ExportChoices popover;
  qv::scene::Colour background;
  // How questions are answered.
  qv::viewer::SaveChangesAnswer saveAnswer = qv::viewer::SaveChangesAnswer::Cancel;
  std::optional<std::string> savePath;
  bool replaceAnswer = false;
  bool drawable = true;
};

// Each notice as "<title>: <text>".
class RecordingNotifier : public qv::viewer::UserNotifier {
public:
  void deliverNotification(const std::string& title, const std::string& text) override {
    notices.push_back(title + ": " + text);
  }
  std::vector<std::string> notices;
};
