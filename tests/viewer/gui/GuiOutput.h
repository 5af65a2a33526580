// Where the viewer's on-screen tests keep their screenshots and other output.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qv::test {

// $QUORVEL_TEST_OUTPUT (set by CTest), else a folder under the temporary folder.
inline std::filesystem::path guiOutputFolder() {
  const char* env = std::getenv("QUORVEL_TEST_OUTPUT");
  std::filesystem::path folder = env ? std::filesystem::path(env) : std::filesystem::temp_directory_path() / "quorvel-viewer-gui";
  std::filesystem::create_directories(folder);
  return folder;
}

inline void saveScreenshot(const QImage& image, const std::string& name) {
  const std::filesystem::path path = guiOutputFolder() / (name + ".png");
  ASSERT_TRUE(image.save(QString::fromStdString(path.string()))) << path;
}

}  // namespace qv::test
