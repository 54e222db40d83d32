#pragma once

#include <gtest/gtest.h>

#include <QtCore/QStringList>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "testing/Sandbox.h"

class QWidget;
class QImage;

namespace platform {
class QtMainQueue;
}

namespace qvtesting {

// Runs the Qt event loop until the predicate holds (checked every few milliseconds and once at the
// start) or the timeout passes; answers the predicate's last value.
bool qtRunUntil(const std::function<bool()>& predicate, double timeoutSeconds = 10.0);
// Runs the Qt event loop for the given time.
void qtRunFor(double seconds);

// The folder that keeps one suite's artefacts for a person to look at: <build>/test-artefacts/<suite>
// ($QV_TEST_ARTEFACTS overrides <build>/test-artefacts). Created when missing.
std::filesystem::path artefactFolder(const std::string& suite);
// Writes the widget's rendering (children included, at its device pixel ratio) as <name>.png in the
// suite's folder; answers the file.
std::filesystem::path saveGrab(QWidget* widget, const std::string& suite, const std::string& name);
std::filesystem::path saveImage(const QImage& image, const std::string& suite, const std::string& name);

// Runs a desktop tool (xdotool, import) while the Qt loop goes on, so the application answers the
// events the tool makes; true when it ran and exited with status 0.
bool qtRunTool(const QString& program, const QStringList& arguments, double timeoutSeconds = 10.0);
// Keeps the whole X screen as <name>.png in the suite's folder (ImageMagick's import).
void saveScreenshot(const std::string& suite, const std::string& name);

// A test with widgets: the sandbox folders of SandboxTest, and the Qt event loop as the main queue.
class GuiTest : public SandboxTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds = 10.0) {
    return qtRunUntil(predicate, timeoutSeconds);
  }
  void runFor(double seconds) { qtRunFor(seconds); }

 private:
  std::shared_ptr<platform::QtMainQueue> qtQueue_;
};

}  // namespace qvtesting
