#pragma once

#include <gtest/gtest.h>

#include <QtCore/QUrl>
#include <QtGui/QColor>
#include <QtGui/QImage>
#include <QtWidgets/QWidget>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/RecordingDesktopServices.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/ZKThemeManager.h"

namespace windowstest {

namespace fs = std::filesystem;

// ---- Reading grabs ----

// The window colour of each theme as the design gives it: the light theme's white, the dark theme's
// RGB 0.2, 0.2196, 0.2431.
inline QColor themeWindowColor(const std::string& theme) {
  return theme == "DDDarkTheme" ? QColor::fromRgbF(0.2f, 0.2196f, 0.2431f) : QColor(Qt::white);
}
// The text colour of each theme over its window colour: the light theme's RGB 0.2235, 0.2392, 0.2549;
// the dark theme's white at alpha 0.85.
inline QColor themeTextColorOverWindow(const std::string& theme) {
  if (theme != "DDDarkTheme") return QColor::fromRgbF(0.2235f, 0.2392f, 0.2549f);
  const QColor window = themeWindowColor(theme);
  auto blend = [](int under) { return int(std::lround(255 * 0.85 + under * 0.15)); };
  return QColor(blend(window.red()), blend(window.green()), blend(window.blue()));
}

inline bool sameColor(const QColor& a, const QColor& b, int tolerance = 2) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

// A widget's grab as an image, with the point of a descendant's rectangle in it (the grab is at the
// widget's device pixel ratio).
inline QImage grabImage(QWidget* widget) { return widget->grab().toImage(); }
inline QRect rectInGrab(const QImage& image, QWidget* root, QWidget* part, QRect rect = {}) {
  if (rect.isNull()) rect = part->rect();
  const QRect inRoot(part->mapTo(root, rect.topLeft()), rect.size());
  const double ratio = image.devicePixelRatio();
  return QRect(int(inRoot.x() * ratio), int(inRoot.y() * ratio), int(inRoot.width() * ratio),
               int(inRoot.height() * ratio))
      .intersected(image.rect());
}

// How many pixels of the image inside `rect` the predicate accepts.
template <typename Predicate>
int countPixels(const QImage& image, const QRect& rect, Predicate accept) {
  int count = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) count += accept(image.pixelColor(x, y)) ? 1 : 0;
  return count;
}

// The colours of the grab of `root` where none of its visible children is drawn: its own background.
inline std::vector<QColor> backgroundSamples(const QImage& image, QWidget* root) {
  std::vector<QColor> samples;
  for (int y = 0; y < root->height(); y += 3)
    for (int x = 0; x < root->width(); x += 3)
      if (!root->childAt(x, y)) {
        const double ratio = image.devicePixelRatio();
        samples.push_back(image.pixelColor(int(x * ratio), int(y * ratio)));
      }
  return samples;
}

// Records what the windows ask of the desktop instead of starting a browser or a file manager.
// Widgets in a sandbox: the desktop services recorded, secrets and settings kept in memory, the
// light theme current.
class WindowsTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    desktop = std::make_shared<qvtesting::RecordingDesktopServices>();
    platform::DesktopServices::setShared(desktop);
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    useTheme("DDLightTheme");
  }
  void TearDown() override {
    platform::DesktopServices::setShared(nullptr);
    // Keychain work still queued goes to this test's store, not to the one chosen after it.
    platform::SecretStore::queue()->sync([] {});
    platform::SecretStore::setShared(nullptr);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    QVEngineEnvironment::setRunModuleHandler(nullptr);
    GuiTest::TearDown();
  }

  static void useTheme(const char* name) {
    static const bool registered = [] {
      ZKThemeManager::sharedManager().registerTheme(DDLightTheme::sharedTheme());
      ZKThemeManager::sharedManager().registerTheme(DDDarkTheme::sharedTheme());
      return true;
    }();
    (void)registered;
    ZKThemeManager::sharedManager().changeTheme(QString::fromUtf8(name));
  }

  static void write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  // A package folder with a manifest (the given keys over a minimal one), an empty script and the
  // given extra files.
  fs::path writePackage(const std::string& name, const nlohmann::json& extras = nlohmann::json::object(),
                        const std::vector<std::pair<std::string, std::string>>& files = {}) {
    nlohmann::json manifest = {{"name", name},
                               {"author", "Tests"},
                               {"bundleID", "com.example." + name},
                               {"version", "1"},
                               {"description", "A module of the tests"}};
    for (const auto& [key, value] : extras.items()) manifest[key] = value;
    const fs::path folder = root() / "packages" / (name + ".quorvanemodule");
    write(folder / "package.json", manifest.dump());
    write(folder / "main.js", "\n");
    for (const auto& [file, content] : files) write(folder / file, content);
    return folder;
  }

  QVDashboardModule::Pointer makeModule(const std::string& name,
                                        const nlohmann::json& extras = nlohmann::json::object(),
                                        const std::vector<std::pair<std::string, std::string>>& files = {}) {
    auto module = QVDashboardModule::moduleWithPath(writePackage(name, extras, files).string());
    EXPECT_TRUE(module) << name;
    return module;
  }

  std::shared_ptr<qvtesting::RecordingDesktopServices> desktop;
};

}  // namespace windowstest
