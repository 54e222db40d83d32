#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Bundle.h"
#include "platform/Files.h"
#include "shell/QVLoginItem.h"
#include "shell/QVUserDefaults.h"
#include "testing/Sandbox.h"

namespace fs = std::filesystem;

namespace {

class AutostartTest : public qvtesting::SandboxTest {
 protected:
  fs::path autostartFile() const {
    return root() / "config" / "autostart" / (platform::Bundle::bundleIdentifier() + ".desktop");
  }
  std::string read(const fs::path& path) const { return platform::files::readTextFile(path).value_or(""); }
};

}  // namespace

TEST_F(AutostartTest, EntryIsWrittenInTheUsersAutostartFolderAndRemoved) {
  auto entry = QVAutostartEntry::applicationEntry();
  EXPECT_EQ(entry->file(), autostartFile());
  EXPECT_FALSE(entry->isEnabled());
  // Removing an entry that is not there is no failure.
  EXPECT_TRUE(entry->setEnabled(false));
  ASSERT_TRUE(entry->setEnabled(true));
  EXPECT_TRUE(entry->isEnabled());
  const std::string text = read(autostartFile());
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  EXPECT_NE(text.find("\nName=Quorvane Dashboard\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=" + QVAutostartEntry::execValue(platform::Bundle::executablePath()) + "\n"),
            std::string::npos);
  // Written whole: no temporary file is left beside it.
  EXPECT_EQ(platform::files::contentsOfDirectory(autostartFile().parent_path())->size(), 1u);
  ASSERT_TRUE(entry->setEnabled(false));
  EXPECT_FALSE(fs::exists(autostartFile()));
}

TEST_F(AutostartTest, ExecLineStartsExactlyTheProgramsPath) {
  struct Case {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/usr/bin/quorvane-dashboard", R"("/usr/bin/quorvane-dashboard")"},
      {"/home/a b/Quorvane Dashboard/qd", R"("/home/a b/Quorvane Dashboard/qd")"},
      {"/opt/100%/qd", R"("/opt/100%%/qd")"},
      {"/opt/$HOME/`x`/\"q\"", R"("/opt/\\$HOME/\\`x\\`/\\"q\\"")"},
      {"/opt/back\\slash", R"("/opt/back\\\\slash")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(QVAutostartEntry::execValue(c.path), c.exec);
  }
  // A path that no desktop entry can hold is refused, not written broken.
  QVAutostartEntry entry(root() / "autostart" / "x.desktop", "/opt/two\nlines", "Quorvane Dashboard");
  platform::Error error;
  EXPECT_FALSE(entry.setEnabled(true, &error));
  EXPECT_FALSE(error.description.empty());
  EXPECT_FALSE(fs::exists(root() / "autostart" / "x.desktop"));
}

TEST_F(AutostartTest, SettingWritesAndRemovesTheEntry) {
  auto defaults =
      QVUserDefaults::make(platform::SettingsStore::inMemoryStore(), QVAutostartEntry::applicationEntry());
  ASSERT_TRUE(defaults->setStartAtLogin(true));
  EXPECT_TRUE(fs::exists(autostartFile()));
  ASSERT_TRUE(defaults->setStartAtLogin(false));
  EXPECT_FALSE(fs::exists(autostartFile()));
}

TEST_F(AutostartTest, EntryThatCannotBeWrittenLeavesTheSettingOff) {
  // A file where the autostart folder belongs: nothing can be written under it.
  writeFile("config/autostart", "not a folder");
  auto store = platform::SettingsStore::inMemoryStore();
  auto defaults = QVUserDefaults::make(store, QVAutostartEntry::applicationEntry());
  platform::Error error;
  EXPECT_FALSE(defaults->setStartAtLogin(true, &error));
  EXPECT_FALSE(error.description.empty());
  EXPECT_FALSE(defaults->startAtLogin());
  EXPECT_FALSE(store->boolForKey(QVStartAtLoginKey));
  EXPECT_EQ(read(root() / "config" / "autostart"), "not a folder");
}
