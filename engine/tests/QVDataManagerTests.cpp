#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <random>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDataManager.h"
#include "engine/tests/BackupTestSupport.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/MainQueue.h"
#include "testing/Sandbox.h"

namespace enginetest {
namespace {

class QVDataManagerTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    manager_ = QVDataManager::make();
  }
  void TearDown() override {
    manager_.reset();
    EngineTest::TearDown();
  }

  std::string groupsArchiveBytes(const std::string& name) {
    auto data = QVDashboardGroup::archivedDataWithGroups({QVDashboardGroup::groupWithName(name)});
    return std::string(data.begin(), data.end());
  }

  // A support folder with every kind of item: nested and hidden files, an empty folder, binary bytes.
  void fillSupportFolder(const std::string& groupName = "Work") {
    std::mt19937 random(42);
    std::string noise(300000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    writeBytes(supportFolder() / "Logs" / "com.example.a_1.log", "{\"date\":1,\"type\":0,\"log\":\"hi\"}\n");
    writeBytes(supportFolder() / "Logs" / ".hidden", "hidden");
    fs::create_directories(supportFolder() / "Logs" / "empty");
    writeBytes(supportFolder() / "Module Databases" / "com.example.a_1.json", "{\"count\": 3}");
    writeBytes(supportFolder() / "Module Databases" / "blob.bin", noise);
    writeBytes(supportFolder() / "Modules" / "Foo.quorvanemodule" / "package.json", "{}");
    writeBytes(supportFolder() / "Modules" / "Foo.quorvanemodule" / "lib" / "deep.js", "// deep\n");
    writeBytes(supportFolder() / "Modules.plist", groupsArchiveBytes(groupName));
    // Not backed up: stays as it is through an import.
    writeBytes(supportFolder() / "output.json", "[]");
  }

  // The archive entries of what fillSupportFolder() wrote: files only, folders (empty ones too)
  // get no entry.
  static std::vector<std::string> filledEntryNames() {
    return {
        "Logs/.hidden",
        "Logs/com.example.a_1.log",
        "Module Databases/blob.bin",
        "Module Databases/com.example.a_1.json",
        "Modules.plist",
        "Modules/Foo.quorvanemodule/lib/deep.js",
        "Modules/Foo.quorvanemodule/package.json",
    };
  }

  // The support folder's items other than the staging folders an import may leave beside it.
  std::vector<std::string> besideSupport() {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(supportFolder().parent_path())) {
      names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  bool exportTo(const fs::path& path, std::string* written = nullptr) {
    return manager_->actuallyExportToPath(path.string(), written);
  }

  std::shared_ptr<QVDataManager> manager_;
};

TEST_F(QVDataManagerTest, PathsToExportListsExistingItemsInArchiveOrder) {
  EXPECT_TRUE(manager_->pathsToExport().empty());
  writeBytes(supportFolder() / "Modules.plist", "x");
  fs::create_directories(supportFolder() / "Logs");
  EXPECT_EQ(manager_->pathsToExport(),
            (std::vector<std::string>{(supportFolder() / "Logs").string(),
                                      (supportFolder() / "Modules.plist").string()}));
  EXPECT_EQ(QVDataManager::supportPathWithFolder(std::nullopt), supportFolder().string());
  EXPECT_EQ(QVDataManager::supportPathWithFolder(""), supportFolder().string());
  EXPECT_EQ(QVDataManager::supportPathWithFolder("Logs"), (supportFolder() / "Logs").string());
  EXPECT_TRUE(QVDataManager::pathIsDirectory((supportFolder() / "Logs").string()));
  EXPECT_FALSE(QVDataManager::pathIsDirectory((supportFolder() / "Modules.plist").string()));
}

TEST_F(QVDataManagerTest, RoundTripRestoresIdenticalBytes) {
  fillSupportFolder();
  const auto before = treeOf(supportFolder());
  const fs::path archive = root() / "out" / "Quorvane Dashboard Export.dashboardexport";
  fs::create_directories(archive.parent_path());

  std::string written;
  ASSERT_TRUE(exportTo(archive, &written));
  EXPECT_EQ(written, archive.string());
  EXPECT_TRUE(unzipAccepts(archive));
  EXPECT_EQ(entryNames(archive), filledEntryNames())
      << "files only: folders, empty ones included, get no entry";

  // Changed data is replaced by the archive's; the empty folder is not restored.
  writeBytes(supportFolder() / "Modules.plist", groupsArchiveBytes("Changed"));
  writeBytes(supportFolder() / "Logs" / "new.log", "new");
  fs::remove_all(supportFolder() / "Module Databases");
  ASSERT_TRUE(manager_->actuallyImportWithPath(archive.string()));

  auto expected = before;
  expected.erase("Logs/empty");
  EXPECT_EQ(treeOf(supportFolder()), expected);
  EXPECT_EQ(besideSupport(), std::vector<std::string>{"com.quorvane.dashboard"}) << "no staging left";
}

TEST_F(QVDataManagerTest, ExportWithNothingToBackUpAnswersNoAndWritesNothing) {
  fs::create_directories(root() / "out");
  EXPECT_FALSE(exportTo(root() / "out" / "backup.dashboardexport"));
  EXPECT_TRUE(fs::is_empty(root() / "out"));
}

TEST_F(QVDataManagerTest, ExportToATakenNameNumbersTheArchive) {
  fillSupportFolder();
  const fs::path wanted = root() / "Quorvane Dashboard Export.dashboardexport";
  writeBytes(wanted, "already here");
  std::string written;
  ASSERT_TRUE(exportTo(wanted, &written));
  EXPECT_EQ(written, (root() / "Quorvane Dashboard Export 2.dashboardexport").string());
  ASSERT_TRUE(exportTo(wanted, &written));
  EXPECT_EQ(written, (root() / "Quorvane Dashboard Export 3.dashboardexport").string());
  EXPECT_EQ(readBytes(wanted), "already here");
  EXPECT_TRUE(unzipAccepts(root() / "Quorvane Dashboard Export 3.dashboardexport"));
}

TEST_F(QVDataManagerTest, ExportToAPlaceThatCannotHoldFilesAnswersNo) {
  fillSupportFolder();
  writeBytes(root() / "plain-file", "x");
  EXPECT_FALSE(exportTo(root() / "plain-file" / "backup.dashboardexport"));
  EXPECT_FALSE(exportTo(root() / "missing" / "folder" / "backup.dashboardexport"));
  EXPECT_FALSE(fs::exists(root() / "missing"));
  EXPECT_EQ(readBytes(root() / "plain-file"), "x");
}

TEST_F(QVDataManagerTest, ExportToAFullDiskLeavesNoPartialArchive) {
  fillSupportFolder();
  fs::create_directories(root() / "out");
  // Writes past 64 KiB fail with EFBIG, as they would on a full disk; the archive needs more.
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = 64 * 1024;
  ::setrlimit(RLIMIT_FSIZE, &limited);
  const bool exported = exportTo(root() / "out" / "backup.dashboardexport");
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(exported);
  EXPECT_TRUE(fs::is_empty(root() / "out"));
}

TEST_F(QVDataManagerTest, ImportOfABadArchiveLeavesEverythingAsItWas) {
  fillSupportFolder();
  const fs::path good = root() / "good.dashboardexport";
  ASSERT_TRUE(exportTo(good));
  const std::string goodBytes = readBytes(good);
  // The support folder the bad imports must leave alone differs from the archive's content.
  writeBytes(supportFolder() / "Modules.plist", groupsArchiveBytes("Current"));
  writeBytes(supportFolder() / "Logs" / "current.log", "current");
  const auto before = treeOf(supportFolder());

  auto corrupted = goodBytes;
  // The blob's deflated bytes sit well inside the archive: damage there fails its CRC.
  corrupted[corrupted.size() / 2] = static_cast<char>(corrupted[corrupted.size() / 2] ^ 0x5a);
  corrupted[corrupted.size() / 2 + 1] = static_cast<char>(corrupted[corrupted.size() / 2 + 1] ^ 0x5a);

  struct Case {
    const char* name;
    std::function<fs::path()> make;
  };
  const std::vector<Case> cases = {
      {"missing file", [&] { return root() / "nothing-here.dashboardexport"; }},
      {"folder", [&] { return root() / "tmp"; }},
      {"empty file", [&] { return writeFile("bad/empty.dashboardexport", ""); }},
      {"text file", [&] { return writeFile("bad/text.dashboardexport", "this is not a zip archive\n"); }},
      {"truncated",
       [&] { return writeFile("bad/truncated.dashboardexport", goodBytes.substr(0, goodBytes.size() / 2)); }},
      {"damaged data", [&] { return writeFile("bad/damaged.dashboardexport", corrupted); }},
      {"zip without backed-up items",
       [&] {
         writeBytes(root() / "other" / "notes.txt", "notes");
         const fs::path path = root() / "bad" / "other.zip";
         runCommand("cd " + quoted(root() / "other") + " && zip -q " + quoted(path) + " notes.txt");
         return path;
       }},
      {"unreadable groups archive",
       [&] {
         writeBytes(root() / "garbage" / "Modules.plist", "garbage, not a property list");
         const fs::path path = root() / "bad" / "garbage.zip";
         runCommand("cd " + quoted(root() / "garbage") + " && zip -q " + quoted(path) + " Modules.plist");
         return path;
       }},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const fs::path archive = test.make();
    EXPECT_FALSE(manager_->actuallyImportWithPath(archive.string()));
    EXPECT_EQ(treeOf(supportFolder()), before);
    EXPECT_EQ(besideSupport(), std::vector<std::string>{"com.quorvane.dashboard"});
  }
}

TEST_F(QVDataManagerTest, ImportReadsTheEntryListBeforeExtractingAnything) {
  // No backed-up item in the list, and a damaged entry that extraction would stumble on: the list
  // alone refuses the archive, and nothing of it is read.
  fillSupportFolder();
  const auto before = treeOf(supportFolder());
  writeBytes(root() / "other" / "notes.txt", std::string(20000, 'n'));
  const fs::path archive = root() / "other.zip";
  ASSERT_EQ(runCommand("cd " + quoted(root() / "other") + " && zip -q -0 " + quoted(archive) + " notes.txt"),
            0);
  std::string bytes = readBytes(archive);
  // The middle of the archive is the middle of the stored notes.
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5a);
  writeBytes(archive, bytes);

  qvtesting::LogCapture log;
  EXPECT_FALSE(manager_->actuallyImportWithPath(archive.string()));
  EXPECT_TRUE(log.contains("holds none of the backed-up items"));
  EXPECT_FALSE(log.contains("Could not read the backup archive")) << "the archive was extracted";
  EXPECT_EQ(treeOf(supportFolder()), before);
  EXPECT_EQ(besideSupport(), std::vector<std::string>{"com.quorvane.dashboard"});
}

TEST_F(QVDataManagerTest, ExportStoresWhatLinksPointAtAndSkipsBrokenOnes) {
  // A module folder that is a link to a working copy elsewhere (holding a link back up: a cycle), a
  // log that links to a file outside, and a link to nothing.
  const fs::path outside = root() / "elsewhere";
  writeBytes(outside / "Work.quorvanemodule" / "package.json", "{\"name\": \"Work\"}");
  writeBytes(outside / "Work.quorvanemodule" / "lib" / "main.js", "// main\n");
  fs::create_directory_symlink("..", outside / "Work.quorvanemodule" / "lib" / "up");
  writeBytes(outside / "shared.log", "a log kept elsewhere");
  writeBytes(supportFolder() / "Modules.plist", groupsArchiveBytes("Work"));
  fs::create_directories(supportFolder() / "Modules");
  fs::create_directory_symlink(outside / "Work.quorvanemodule",
                               supportFolder() / "Modules" / "Work.quorvanemodule");
  fs::create_directories(supportFolder() / "Logs");
  fs::create_symlink(outside / "shared.log", supportFolder() / "Logs" / "com.example.work_1.log");
  fs::create_symlink(root() / "nowhere", supportFolder() / "Logs" / "dangling.log");

  const fs::path archive = root() / "links.dashboardexport";
  qvtesting::LogCapture log;
  ASSERT_TRUE(exportTo(archive));
  EXPECT_TRUE(unzipAccepts(archive));
  EXPECT_EQ(entryNames(archive), (std::vector<std::string>{
                                     "Logs/com.example.work_1.log",
                                     "Modules.plist",
                                     "Modules/Work.quorvanemodule/lib/main.js",
                                     "Modules/Work.quorvanemodule/package.json",
                                 }));
  EXPECT_TRUE(log.contains("dangling.log"));
  EXPECT_TRUE(log.contains("links back into a folder that holds it"));

  // A fresh home: every byte is there, as files.
  const std::string groups = readBytes(supportFolder() / "Modules.plist");
  fs::remove_all(supportFolder());
  ASSERT_TRUE(manager_->actuallyImportWithPath(archive.string()));
  auto restored = treeOf(supportFolder());
  std::erase_if(restored, [](const auto& item) { return item.second == "<folder>"; });
  EXPECT_EQ(restored, (std::map<std::string, std::string>{
                          {"Logs/com.example.work_1.log", "a log kept elsewhere"},
                          {"Modules.plist", groups},
                          {"Modules/Work.quorvanemodule/lib/main.js", "// main\n"},
                          {"Modules/Work.quorvanemodule/package.json", "{\"name\": \"Work\"}"},
                      }));
}

TEST_F(QVDataManagerTest, ExportNeverHoldsTheTemporariesOfCutShortSaves) {
  fillSupportFolder();
  const std::string uuid = "0F8B3C1E-2A4D-4E6F-8A9B-C0D1E2F3A4B5";
  writeBytes(supportFolder() / "Logs" / (".com.example.a_1.log." + uuid + ".tmp"), "half a log");
  writeBytes(supportFolder() / "Modules" / "Foo.quorvanemodule" / (".package.json." + uuid + ".tmp"), "{");
  const fs::path archive = root() / "clean.dashboardexport";
  ASSERT_TRUE(exportTo(archive));
  EXPECT_EQ(entryNames(archive), filledEntryNames());
}

TEST_F(QVDataManagerTest, ImportReplacesAllFourItemsAndRestoresExtraEntries) {
  // An archive written by Info-ZIP holding only the groups archive and a file of another name.
  writeBytes(root() / "backup" / "Modules.plist", groupsArchiveBytes("From backup"));
  writeBytes(root() / "backup" / "extra.txt", "extra");
  const fs::path archive = root() / "zip.dashboardexport";
  ASSERT_EQ(runCommand("cd " + quoted(root() / "backup") + " && zip -q " + quoted(archive) +
                       " Modules.plist extra.txt"),
            0);
  fillSupportFolder();

  ASSERT_TRUE(manager_->actuallyImportWithPath(archive.string()));
  EXPECT_EQ(readBytes(supportFolder() / "Modules.plist"), groupsArchiveBytes("From backup"));
  EXPECT_EQ(readBytes(supportFolder() / "extra.txt"), "extra");
  EXPECT_FALSE(fs::exists(supportFolder() / "Logs")) << "items the backup lacks are removed";
  EXPECT_FALSE(fs::exists(supportFolder() / "Module Databases"));
  EXPECT_FALSE(fs::exists(supportFolder() / "Modules"));
  EXPECT_EQ(readBytes(supportFolder() / "output.json"), "[]") << "other files stay";
}

TEST_F(QVDataManagerTest, ImportOfAnArchiveKeptInsideABackedUpFolderWorks) {
  fillSupportFolder("Saved");
  const fs::path archive = supportFolder() / "Modules" / "saved.dashboardexport";
  ASSERT_TRUE(exportTo(archive));
  writeBytes(supportFolder() / "Modules.plist", groupsArchiveBytes("Changed"));
  ASSERT_TRUE(manager_->actuallyImportWithPath(archive.string()));
  EXPECT_EQ(readBytes(supportFolder() / "Modules.plist"), groupsArchiveBytes("Saved"));
  EXPECT_FALSE(fs::exists(archive)) << "the archive was not part of its own backup";
}

TEST_F(QVDataManagerTest, AFailedSwapPutsTheOldItemsBack) {
  fillSupportFolder("Old");
  const fs::path archive = root() / "new.dashboardexport";
  ASSERT_TRUE(exportTo(archive));
  writeBytes(supportFolder() / "Logs" / "only-old.log", "old");
  writeBytes(supportFolder() / "Modules.plist", groupsArchiveBytes("Old data"));
  const auto before = treeOf(supportFolder());

  // An immutable groups archive cannot be moved aside: the swap fails at the last of the four items,
  // after the first three were swapped.
  const fs::path locked = supportFolder() / "Modules.plist";
  int fd = ::open(locked.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
  int immutable = flags | FS_IMMUTABLE_FL;
  const bool locking = ::ioctl(fd, FS_IOC_SETFLAGS, &immutable) == 0;
  if (!locking) {
    ::close(fd);
    GTEST_SKIP() << "the file system does not let this process mark files immutable";
  }
  const bool imported = manager_->actuallyImportWithPath(archive.string());
  ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  ::close(fd);

  EXPECT_FALSE(imported);
  EXPECT_EQ(treeOf(supportFolder()), before);
  EXPECT_EQ(besideSupport(), std::vector<std::string>{"com.quorvane.dashboard"});
}

TEST_F(QVDataManagerTest, AsynchronousCallsReportOnTheMainThread) {
  fillSupportFolder();
  const fs::path archive = root() / "async.dashboardexport";
  std::optional<bool> exported, imported;
  bool exportOnMain = false, importOnMain = false;
  int importNotices = 0;
  bool noticeBeforeCompletion = false;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      QVBackupDidImportNotification, nullptr, [&](const platform::Notification&) {
        ++importNotices;
        noticeBeforeCompletion = !imported.has_value();
      });

  manager_->exportToPath(archive.string(), [&](bool success) {
    exportOnMain = platform::MainQueue::isMainThread();
    exported = success;
  });
  ASSERT_TRUE(runUntil([&] { return exported.has_value(); }));
  EXPECT_TRUE(*exported);
  EXPECT_TRUE(exportOnMain);

  manager_->importWithPath(archive.string(), [&](bool success) {
    importOnMain = platform::MainQueue::isMainThread();
    imported = success;
  });
  ASSERT_TRUE(runUntil([&] { return imported.has_value(); }));
  EXPECT_TRUE(*imported);
  EXPECT_TRUE(importOnMain);
  EXPECT_EQ(importNotices, 1);
  EXPECT_TRUE(noticeBeforeCompletion);

  // A failed import tells nobody that files were replaced.
  imported.reset();
  manager_->importWithPath((root() / "missing.dashboardexport").string(),
                           [&](bool success) { imported = success; });
  ASSERT_TRUE(runUntil([&] { return imported.has_value(); }));
  EXPECT_FALSE(*imported);
  EXPECT_EQ(importNotices, 1);
}

}  // namespace
}  // namespace enginetest
