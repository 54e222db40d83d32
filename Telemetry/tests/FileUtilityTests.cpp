#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryTestSupport.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "testing/Sandbox.h"

namespace {

namespace fs = std::filesystem;

class FileUtilityTest : public qvtesting::SandboxTest {
 protected:
  fs::path folder() { return platform::paths::applicationSupportDirectory() / "com.telemetry.sdk"; }
  std::string read(const fs::path& path) { return *platform::files::readTextFile(path); }
};

TEST_F(FileUtilityTest, StorageFolderIsCreatedInApplicationSupport) {
  EXPECT_EQ(TLUtility::telemetryDirectoryURL(), folder());
  EXPECT_TRUE(fs::is_directory(folder()));
  EXPECT_TRUE(folder().string().starts_with(root().string()));
  EXPECT_TRUE(TLUtility::disableBackupForDirectoryURL(folder()));
}

TEST_F(FileUtilityTest, CreateNestedFileAndOverwriteRules) {
  auto url = TLUtility::createFileAtPathComponent("a/b/c.bin", platform::dataFromString("one"), false, false);
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, folder() / "a/b/c.bin");
  EXPECT_EQ(read(*url), "one");
  // Without force-overwrite an existing file is left as it is.
  EXPECT_EQ(TLUtility::createFileAtPathComponent("a/b/c.bin", platform::dataFromString("two"), true, false),
            url);
  EXPECT_EQ(read(*url), "one");
  EXPECT_EQ(TLUtility::createFileAtPathComponent("a/b/c.bin", platform::dataFromString("two"), true, true),
            url);
  EXPECT_EQ(read(*url), "two");
  // Absent data writes an empty file.
  auto empty = TLUtility::createFileAtPathComponent("empty", std::nullopt, false, true);
  ASSERT_TRUE(empty);
  EXPECT_EQ(fs::file_size(*empty), 0u);
  EXPECT_EQ(TLUtility::loadDataForPathComponent("a/b/c.bin"), platform::dataFromString("two"));
  EXPECT_TRUE(TLUtility::fileExistsForPathComponent("a/b"));
}

TEST_F(FileUtilityTest, ListingAndDeleting) {
  tltesting::MessageRecorder recorder;
  EXPECT_FALSE(TLUtility::contentsOfDirectory("missing"));
  ASSERT_EQ(recorder.texts(TLLogLevelDebug).size(), 1u);
  EXPECT_TRUE(
      recorder.texts(TLLogLevelDebug)[0].starts_with("Couldn't get files in the directory \"missing\": "));

  ASSERT_TRUE(TLUtility::createDirectoryForPathComponent("crashes"));
  TLUtility::createFileAtPathComponent("crashes/b", std::nullopt, false, false);
  TLUtility::createFileAtPathComponent("crashes/.hidden", std::nullopt, false, false);
  TLUtility::createFileAtPathComponent("crashes/sub/a", std::nullopt, false, false);
  auto listing = TLUtility::contentsOfDirectory("crashes", {"NSURLCreationDateKey"});
  ASSERT_TRUE(listing);
  std::vector<fs::path> expected = {folder() / "crashes/.hidden", folder() / "crashes/b",
                                    folder() / "crashes/sub"};
  EXPECT_EQ(*listing, expected);

  EXPECT_FALSE(TLUtility::deleteItemForPathComponent("nothing-here"));
  EXPECT_EQ(recorder.texts(TLLogLevelDebug).size(), 2u);
  EXPECT_TRUE(TLUtility::deleteItemForPathComponent("crashes"));
  EXPECT_FALSE(fs::exists(folder() / "crashes"));
  auto outside = writeFile("elsewhere.txt", "x");
  EXPECT_TRUE(TLUtility::deleteFileAtURL(outside));
  EXPECT_FALSE(TLUtility::loadDataForPathComponent("crashes/b"));
}

TEST_F(FileUtilityTest, WriteFailureIsLoggedAndAnswersNil) {
  tltesting::MessageRecorder recorder;
  TLUtility::createFileAtPathComponent("taken", std::nullopt, false, false);
  // "taken" is a file, so nothing can be created below it.
  EXPECT_FALSE(
      TLUtility::createFileAtPathComponent("taken/inner", platform::dataFromString("x"), true, true));
  EXPECT_FALSE(TLUtility::createDirectoryForPathComponent("taken/dir"));
  auto errors = recorder.texts(TLLogLevelError);
  EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& text) {
    return text.starts_with("Couldn't create new file at path ");
  }));
  EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& text) {
    return text.starts_with("Couldn't create directory at ");
  }));
}

// Components that would leave the storage folder are refused and touch nothing.
TEST_F(FileUtilityTest, PathRefusals) {
  auto victim = writeFile("victim/file.txt", "keep");
  auto relativeToVictim = fs::relative(victim, folder().parent_path().parent_path());
  const std::string refused[] = {"",
                                 "/etc/passwd",
                                 victim.string(),
                                 "..",
                                 "../x",
                                 "a/../../x",
                                 "a/..",
                                 "../../" + relativeToVictim.string(),
                                 std::string("a\0b", 3)};
  for (const auto& component : refused) {
    SCOPED_TRACE(component);
    EXPECT_FALSE(TLUtility::fullURLForPathComponent(component));
    EXPECT_FALSE(
        TLUtility::createFileAtPathComponent(component, platform::dataFromString("bad"), true, true));
    EXPECT_FALSE(TLUtility::createDirectoryForPathComponent(component));
    EXPECT_FALSE(TLUtility::deleteItemForPathComponent(component));
    EXPECT_FALSE(TLUtility::loadDataForPathComponent(component));
    EXPECT_FALSE(TLUtility::contentsOfDirectory(component));
    EXPECT_FALSE(TLUtility::fileExistsForPathComponent(component));
  }
  EXPECT_EQ(read(victim), "keep");
  EXPECT_FALSE(TLUtility::createDirectoryAtURL(std::nullopt));
  // Names that only look alike are fine.
  EXPECT_TRUE(TLUtility::createFileAtPathComponent("..data/x", std::nullopt, false, false));
  EXPECT_TRUE(TLUtility::createFileAtPathComponent("./y", std::nullopt, false, false));
}

}  // namespace
