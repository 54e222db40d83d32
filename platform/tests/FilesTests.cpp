#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "platform/UUID.h"
#include "testing/Sandbox.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class FilesTest : public qvtesting::SandboxTest {
 protected:
  static void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
};

const std::string kUUID = "0F8B3C1E-2A4D-4E6F-8A9B-C0D1E2F3A4B5";

TEST_F(FilesTest, TheTemporaryNamesOfAtomicWritesAreKnownExactly) {
  struct Case {
    std::string name;
    bool temporary;
  };
  const std::vector<Case> cases = {
      {".Modules.plist." + kUUID + ".tmp", true},
      {".a." + kUUID + ".tmp", true},
      {".com.example.a_1.log." + makeUUIDString() + ".tmp", true},
      {"Modules.plist." + kUUID + ".tmp", false},                          // not hidden
      {".." + kUUID + ".tmp", false},                                      // no file name
      {".Modules.plist." + kUUID + ".temp", false},                        // another suffix
      {".Modules.plist.0f8b3c1e-2a4d-4e6f-8a9b-c0d1e2f3a4b5.tmp", false},  // not our upper case
      {".Modules.plist.0F8B3C1E2A4D4E6F8A9BC0D1E2F3A4B5.tmp", false},      // no dashes
      {".Modules.plist.0F8B3C1E-2A4D-4E6F-8A9B-C0D1E2F3A4B.tmp", false},   // one digit short
      {".Modules.plist." + kUUID + "x.tmp", false},
      {".notes.tmp", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(files::isAtomicWriteTemporary(c.name), c.temporary) << c.name;
}

TEST_F(FilesTest, SmallRegularFilesAreReadUpToTheirLimit) {
  const fs::path file = root() / "small.bin";
  write(file, std::string("ab\0cd", 5));
  EXPECT_EQ(files::readSmallRegularFile(file, 5), dataFromString(std::string("ab\0cd", 5)));
  EXPECT_EQ(files::readSmallRegularFile(file, 4), std::nullopt);
  write(root() / "empty", "");
  EXPECT_EQ(files::readSmallRegularFile(root() / "empty", 0), Data());
  EXPECT_EQ(files::readSmallRegularFile(root() / "missing", 100), std::nullopt);
  // Neither a folder nor a pipe is opened (a pipe without a writer would block the open).
  fs::create_directories(root() / "folder");
  EXPECT_EQ(files::readSmallRegularFile(root() / "folder", 100), std::nullopt);
  ASSERT_EQ(::mkfifo((root() / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(files::readSmallRegularFile(root() / "pipe", 100), std::nullopt);
  // Through a link, the file it names.
  fs::create_symlink(file, root() / "link");
  EXPECT_EQ(files::readSmallRegularFile(root() / "link", 5), dataFromString(std::string("ab\0cd", 5)));
}

TEST_F(FilesTest, RemovingTemporariesTakesOnlyOursFromTheFolderItself) {
  const fs::path folder = root() / "folder";
  const std::string ours = "." + std::string("Modules.plist.") + kUUID + ".tmp";
  const std::string ofLog = ".a.log." + kUUID + ".tmp";
  write(folder / ours, "half");
  write(folder / ofLog, "half a log");
  write(folder / ".notes.tmp", "mine");
  write(folder / "Modules.plist", "whole");
  write(folder / "below" / ours, "below");
  fs::create_directories(folder / (".folder." + kUUID + ".tmp"));
  fs::create_symlink(folder / "Modules.plist", folder / (".link." + kUUID + ".tmp"));

  // Only the temporaries of one file.
  EXPECT_EQ(files::removeAtomicWriteTemporaries(folder, "a.log"), 1u);
  EXPECT_FALSE(fs::exists(folder / ofLog));
  EXPECT_TRUE(fs::exists(folder / ours));

  EXPECT_EQ(files::removeAtomicWriteTemporaries(folder), 1u);
  EXPECT_FALSE(fs::exists(folder / ours));
  EXPECT_TRUE(fs::exists(folder / ".notes.tmp"));
  EXPECT_TRUE(fs::exists(folder / "Modules.plist"));
  EXPECT_TRUE(fs::exists(folder / "below" / ours)) << "folders below are not walked";
  EXPECT_TRUE(fs::is_directory(folder / (".folder." + kUUID + ".tmp"))) << "only files";
  EXPECT_TRUE(fs::is_symlink(folder / (".link." + kUUID + ".tmp"))) << "only files";
  EXPECT_EQ(files::removeAtomicWriteTemporaries(root() / "missing"), 0u);
}

// A sweep (a second start of the program opening the same settings, say) while writes are under way
// takes none of their temporary files: every write lands.
TEST_F(FilesTest, ASweepLeavesTheWritesUnderWayAlone) {
  const fs::path file = root() / "busy" / "settings.plist";
  fs::create_directories(file.parent_path());
  std::atomic<bool> done{false};
  // A sweep may take a temporary file in the instant between its creation and its lock; that write
  // starts again with another.
  std::thread sweeper([&] {
    while (!done.load()) files::removeAtomicWriteTemporaries(file.parent_path(), "settings.plist");
  });
  int failed = 0;
  for (int i = 0; i < 1500; ++i) {
    Error error;
    if (!files::writeAtomically(file, "write " + std::to_string(i), &error)) ++failed;
  }
  done.store(true);
  sweeper.join();
  EXPECT_EQ(failed, 0) << "writes lost their temporary file to the sweep";
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "write 1499");
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(FilesTest, StoresSweepTheTemporariesOfTheirOwnFileWhenTheyOpen) {
  // A kill during a save of the secrets leaves a copy of the secure values beside the file.
  const fs::path secrets = root() / "secrets" / "secrets.plist";
  const fs::path settings = root() / "settings" / "settings.plist";
  const fs::path secretsCopy = secrets.parent_path() / (".secrets.plist." + kUUID + ".tmp");
  const fs::path settingsCopy = settings.parent_path() / (".settings.plist." + kUUID + ".tmp");
  const fs::path otherCopy = secrets.parent_path() / (".other.plist." + kUUID + ".tmp");
  write(secretsCopy, "a copy of the secure values");
  write(settingsCopy, "a copy of the settings");
  write(otherCopy, "not the store's");
  {
    auto store = SecretStore::fileStore(secrets);
    EXPECT_FALSE(fs::exists(secretsCopy));
    EXPECT_TRUE(fs::exists(otherCopy));
    auto defaults = SettingsStore::storeWithPath(settings);
    EXPECT_FALSE(fs::exists(settingsCopy));
  }
}

}  // namespace
