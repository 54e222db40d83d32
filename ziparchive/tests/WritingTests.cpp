#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <random>

#include "ZipTestSupport.h"

using namespace ziptest;

namespace {

constexpr std::time_t kOldDate = 1600000000;  // an even second, so the DOS date keeps it

class ZAZipArchiveWriting : public qvtesting::SandboxTest {
 protected:
  fs::path source() const { return root() / "source"; }

  // A folder shaped like the data a backup holds: files at several depths, a hidden file, an
  // empty folder, an executable, a read-only file and a symbolic link.
  void makeTree(bool withLink = true) {
    writeText(source() / "a.txt", "alpha\n");
    writeText(source() / ".hidden", "hidden\n");
    writeText(source() / "sub" / "run.sh", "#!/bin/sh\necho hi\n");
    writeText(source() / "sub" / "deeper" / "c.txt", std::string(10000, 'c'));
    writeText(source() / "readonly.txt", "read only\n");
    fs::create_directories(source() / "emptyfolder");
    ::chmod((source() / "a.txt").c_str(), 0644);
    ::chmod((source() / ".hidden").c_str(), 0600);
    ::chmod((source() / "sub" / "run.sh").c_str(), 0755);
    ::chmod((source() / "sub" / "deeper" / "c.txt").c_str(), 0640);
    ::chmod((source() / "readonly.txt").c_str(), 0444);
    if (withLink) fs::create_symlink("deeper/c.txt", source() / "sub" / "link");
    for (const char* item :
         {"a.txt", ".hidden", "sub/run.sh", "sub/deeper/c.txt", "readonly.txt", "sub/link"}) {
      setModificationTime(source() / item, kOldDate);
    }
  }

  // The tree as it must come back: a read-only file gains owner write.
  std::map<std::string, std::string> expectedTree() {
    auto tree = describeTree(source());
    tree["readonly.txt"] = "f 0644 read only\n";
    return tree;
  }
};

}  // namespace

TEST_F(ZAZipArchiveWriting, FolderTreeRoundTripsThroughOurReaderAndTheRealTools) {
  makeTree();
  const fs::path archive = root() / "tree.zip";
  ASSERT_TRUE(ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(archive.string(), source().string()));
  expectToolsAccept(archive);

  // Folders with content have no entry of their own; the empty one does.
  auto names = entryNamesOf(archive);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.txt", "emptyfolder/", "readonly.txt",
                                             "sub/deeper/c.txt", "sub/link", "sub/run.sh"}));
  for (const auto& entry : entriesOf(archive)) {
    EXPECT_EQ(entry.host, kZAHostUnix) << entry.name;
    const std::uint32_t mode = entry.attributes >> 16;
    if (entry.name == "a.txt") {
      EXPECT_EQ(entry.attributes, static_cast<std::uint32_t>(S_IFREG | 0644) << 16);
      EXPECT_EQ(entry.method, ZIP_CM_DEFLATE);
      EXPECT_EQ(entry.mtime, kOldDate);
    } else if (entry.name == "emptyfolder/") {
      EXPECT_EQ(mode & S_IFMT, static_cast<std::uint32_t>(S_IFDIR));
      EXPECT_EQ(entry.attributes & 0x10, 0x10u) << "MS-DOS folder attribute";
    } else if (entry.name == "sub/link") {
      EXPECT_EQ(mode & S_IFMT, static_cast<std::uint32_t>(S_IFLNK));
    }
  }

  const fs::path ours = root() / "ours";
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), ours.string()));
  EXPECT_EQ(describeTree(ours), expectedTree());
  for (const char* item : {"a.txt", "sub/run.sh", "sub/deeper/c.txt", "sub/link"}) {
    EXPECT_EQ(modificationTimeOf(ours / item), kOldDate) << item;
  }

  const fs::path infoZip = root() / "infozip";
  auto unzip = run("unzip -q " + quoted(archive.string()) + " -d " + quoted(infoZip.string()));
  ASSERT_EQ(unzip.exitCode, 0) << unzip.output;
  auto fromInfoZip = describeTree(infoZip);
  fromInfoZip["readonly.txt"] = "f 0644 read only\n";
  EXPECT_EQ(fromInfoZip, expectedTree());
}

TEST_F(ZAZipArchiveWriting, KeepParentDirectoryPrefixesEveryEntry) {
  makeTree(false);
  const fs::path archive = root() / "kept.zip";
  ASSERT_TRUE(ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(archive.string(),
                                                                       source().string() + "/", true));
  for (const auto& name : entryNamesOf(archive)) EXPECT_EQ(name.rfind("source/", 0), 0u) << name;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), (root() / "out").string()));
  EXPECT_EQ(describeTree(root() / "out" / "source"), expectedTree());
}

TEST_F(ZAZipArchiveWriting, ProgressCountsEveryItemUpToTheTotal) {
  makeTree();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  ASSERT_TRUE(ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(
      (root() / "p.zip").string(), source().string(), false, "",
      [&](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); }));
  // 6 files and links, 3 folders.
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t(9), std::uint64_t(9)));
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_GT(calls[i].first, calls[i - 1].first);
}

TEST_F(ZAZipArchiveWriting, EntriesFromFilesDataAndFolders) {
  writeText(root() / "one.txt", "one");
  fs::create_directories(root() / "folder");
  ::chmod((root() / "folder").c_str(), 0750);
  const fs::path path = root() / "entries.zip";
  auto archive = ZAZipArchive::initWithPath(path.string());
  EXPECT_FALSE(archive->writeData(platform::dataFromString("early"), "early.txt", "")) << "not open yet";
  ASSERT_TRUE(archive->open());
  EXPECT_TRUE(archive->writeFile((root() / "one.txt").string(), ""));
  EXPECT_TRUE(archive->writeFileAtPath((root() / "one.txt").string(), "renamed/one.txt", ""));
  EXPECT_FALSE(archive->writeFileAtPath((root() / "missing.txt").string(), "missing.txt", ""));
  EXPECT_FALSE(archive->writeFileAtPath((root() / "folder").string(), "folder", "")) << "a folder is no file";
  const auto before = std::time(nullptr);
  EXPECT_TRUE(archive->writeData(platform::dataFromString("bytes"), "data.bin", ""));
  EXPECT_TRUE(archive->writeFolderAtPath((root() / "folder").string(), "folder", ""));
  EXPECT_FALSE(fs::exists(path)) << "the archive appears when it is closed";
  ASSERT_TRUE(archive->close());
  EXPECT_FALSE(archive->close()) << "closed already";
  EXPECT_FALSE(archive->writeData(platform::dataFromString("late"), "late.txt", ""));
  expectToolsAccept(path);

  auto entries = entriesOf(path);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "one.txt");
  EXPECT_EQ(entries[1].name, "renamed/one.txt");
  EXPECT_EQ(entries[2].name, "data.bin");
  EXPECT_LE(std::llabs(entries[2].mtime - before), 3) << "a data entry is dated at the call";
  EXPECT_EQ(entries[3].name, "folder/");
  EXPECT_EQ(entries[3].attributes, (static_cast<std::uint32_t>(S_IFDIR | 0750) << 16) | 0x10);

  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(path.string(), (root() / "out").string()));
  EXPECT_EQ(readText(root() / "out" / "renamed" / "one.txt"), "one");
  EXPECT_EQ(readText(root() / "out" / "data.bin"), "bytes");
  EXPECT_TRUE(fs::is_directory(root() / "out" / "folder"));
}

TEST_F(ZAZipArchiveWriting, CompressionLevels) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 97) + " of a log\n";
  writeText(root() / "log.txt", text);
  struct Case {
    int level;
    zip_uint16_t method;
  } cases[] = {{-1, ZIP_CM_DEFLATE},
               {0, ZIP_CM_STORE},
               {1, ZIP_CM_DEFLATE},
               {9, ZIP_CM_DEFLATE},
               {42, ZIP_CM_DEFLATE}};
  for (const auto& c : cases) {
    const fs::path path = root() / ("level" + std::to_string(c.level) + ".zip");
    auto archive = ZAZipArchive::initWithPath(path.string());
    ASSERT_TRUE(archive->open());
    ASSERT_TRUE(archive->writeFileAtPath((root() / "log.txt").string(), "log.txt", c.level, "", true));
    ASSERT_TRUE(archive->close());
    auto entries = entriesOf(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].method, c.method) << c.level;
    if (c.method == ZIP_CM_DEFLATE) {
      EXPECT_LT(fs::file_size(path), text.size() / 4) << c.level;
    }
    expectToolsAccept(path);
  }
}

TEST_F(ZAZipArchiveWriting, PasswordsWithAndWithoutAES) {
  makeTree();
  for (bool aes : {false, true}) {
    SCOPED_TRACE(aes ? "AES" : "traditional");
    const fs::path archive = root() / (aes ? "aes.zip" : "zipcrypto.zip");
    ASSERT_TRUE(ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(archive.string(), source().string(),
                                                                         false, -1, "s3cret", aes, nullptr));
    for (const auto& entry : entriesOf(archive)) {
      if (entry.name.back() == '/') continue;
      EXPECT_EQ(entry.encryption, aes ? ZIP_EM_AES_256 : ZIP_EM_TRAD_PKWARE) << entry.name;
    }
    // Info-ZIP reads only the traditional encryption.
    expectToolsAccept(archive, "s3cret", !aes);
    EXPECT_NE(run("7z t -pwrong " + quoted(archive.string())).exitCode, 0);

    EXPECT_TRUE(ZAZipArchive::isFilePasswordProtectedAtPath(archive.string()));
    platform::Error error;
    EXPECT_TRUE(ZAZipArchive::isPasswordValidForArchiveAtPath(archive.string(), "s3cret", &error));
    EXPECT_FALSE(ZAZipArchive::isPasswordValidForArchiveAtPath(archive.string(), "wrong", &error));
    EXPECT_TRUE(error.domain.empty()) << "a wrong password is no error: " << error.description;

    const fs::path out = root() / (aes ? "out-aes" : "out-zipcrypto");
    ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), out.string(), true, "s3cret", &error))
        << error.description;
    EXPECT_EQ(describeTree(out), expectedTree());

    const fs::path noPassword = root() / (aes ? "nopw-aes" : "nopw-zipcrypto");
    EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), noPassword.string(), true, "", &error));
    EXPECT_EQ(error.code, ZAZipArchiveErrorCodeFailedOpenFileInZip);
    EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), (noPassword / "wrong").string(), true,
                                               "wrong", &error));
  }
}

TEST_F(ZAZipArchiveWriting, FilesAtPathsGoOnAfterAFailedAdd) {
  writeText(root() / "x.txt", "x");
  writeText(root() / "y.txt", "y");
  const fs::path archive = root() / "files.zip";
  EXPECT_FALSE(ZAZipArchive::createZipFileAtPathWithFilesAtPaths(
      archive.string(),
      {(root() / "x.txt").string(), (root() / "nope.txt").string(), (root() / "y.txt").string()}));
  EXPECT_EQ(entryNamesOf(archive), (std::vector<std::string>{"x.txt", "y.txt"}));
  ASSERT_TRUE(ZAZipArchive::createZipFileAtPathWithFilesAtPaths(archive.string(),
                                                                {(root() / "x.txt").string()}, "pw"));
  EXPECT_EQ(entryNamesOf(archive), (std::vector<std::string>{"x.txt"})) << "an existing archive is replaced";
  expectToolsAccept(archive, "pw", false);
}

TEST_F(ZAZipArchiveWriting, EmptyFolderGivesAnEmptyArchive) {
  fs::create_directories(source());
  const fs::path archive = root() / "empty.zip";
  ASSERT_TRUE(ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(archive.string(), source().string()));
  EXPECT_EQ(fs::file_size(archive), 22u);
  EXPECT_EQ(run("7z t " + quoted(archive.string())).exitCode, 0);
  RecordingDelegate delegate;
  EXPECT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), (root() / "out").string(), &delegate));
  EXPECT_FALSE(fs::exists(root() / "out")) << "nothing is created";
  EXPECT_EQ(delegate.calls, (std::vector<std::string>{"willUnzipArchive 0", "progress 0/22",
                                                      "didUnzipArchive", "progress 22/22"}));
}

TEST_F(ZAZipArchiveWriting, OpenRefusesPlacesWhereNoArchiveCanBeWritten) {
  EXPECT_THROW(ZAZipArchive::initWithPath(""), std::invalid_argument);
  EXPECT_FALSE(ZAZipArchive::initWithPath((root() / "missing" / "a.zip").string())->open());
  fs::create_directories(root() / "folder.zip");
  EXPECT_FALSE(ZAZipArchive::initWithPath((root() / "folder.zip").string())->open());
  EXPECT_FALSE(
      ZAZipArchive::createZipFileAtPathWithFilesAtPaths((root() / "missing" / "b.zip").string(), {}));
}

TEST_F(ZAZipArchiveWriting, AnArchiveDroppedWithoutCloseLeavesNothing) {
  writeText(root() / "x.txt", "x");
  const fs::path path = root() / "dropped.zip";
  {
    auto archive = ZAZipArchive::initWithPath(path.string());
    ASSERT_TRUE(archive->open());
    ASSERT_TRUE(archive->writeFile((root() / "x.txt").string(), ""));
  }
  EXPECT_FALSE(fs::exists(path));
  for (const auto& item : fs::directory_iterator(root())) {
    EXPECT_EQ(item.path().filename().string().find("dropped"), std::string::npos) << item.path();
  }
}

TEST_F(ZAZipArchiveWriting, ASourceThatVanishesBeforeCloseFailsTheArchive) {
  writeText(root() / "x.txt", "x");
  writeText(root() / "y.txt", "y");
  const fs::path path = root() / "vanish.zip";
  writeText(path, "previous archive");
  auto archive = ZAZipArchive::initWithPath(path.string());
  ASSERT_TRUE(archive->open());
  ASSERT_TRUE(archive->writeFile((root() / "x.txt").string(), ""));
  ASSERT_TRUE(archive->writeFile((root() / "y.txt").string(), ""));
  fs::remove(root() / "y.txt");
  EXPECT_FALSE(archive->close());
  EXPECT_EQ(readText(path), "previous archive") << "a failed archive leaves the old file as it was";
}

TEST_F(ZAZipArchiveWriting, FilesAreReadAsTheyAreWhenTheArchiveIsWritten) {
  // Files are read when the archive is written, so one that changed since it was added (a log
  // saved meanwhile) is stored whole, as it is then.
  const fs::path grows = root() / "grows.log";
  const fs::path shrinks = root() / "shrinks.log";
  writeText(grows, "first line\n");
  writeText(shrinks, std::string(100000, 's'));
  const fs::path path = root() / "changed.zip";
  auto archive = ZAZipArchive::initWithPath(path.string());
  ASSERT_TRUE(archive->open());
  ASSERT_TRUE(archive->writeFile(grows.string(), ""));
  ASSERT_TRUE(archive->writeFile(shrinks.string(), "pw"));
  writeText(grows, "first line\nsecond line\n");
  writeText(shrinks, "short");
  ASSERT_TRUE(archive->close());
  expectToolsAccept(path, "pw", false);
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(path.string(), (root() / "out").string(), true, "pw", nullptr));
  EXPECT_EQ(readText(root() / "out" / "grows.log"), "first line\nsecond line\n");
  EXPECT_EQ(readText(root() / "out" / "shrinks.log"), "short");
}

TEST_F(ZAZipArchiveWriting, AWriteFailureWhileClosingLeavesNoHalfArchive) {
  std::mt19937 random(7);
  std::string noise(2 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  writeText(root() / "noise.bin", noise);
  const fs::path path = root() / "limited.zip";
  auto archive = ZAZipArchive::initWithPath(path.string());
  ASSERT_TRUE(archive->open());
  ASSERT_TRUE(archive->writeFile((root() / "noise.bin").string(), ""));

  // Writes past 512 KiB fail with EFBIG, as a full disk would fail them.
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = 512 * 1024;
  ::setrlimit(RLIMIT_FSIZE, &limited);
  const bool closed = archive->close();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(closed);
  std::vector<std::string> left;
  for (const auto& item : fs::directory_iterator(root())) left.push_back(item.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"cache", "config", "data", "noise.bin", "runtime", "tmp"}));
}

TEST_F(ZAZipArchiveWriting, ManyEntriesUseZip64EndRecords) {
  // More than 65535 entries need the Zip64 end of central directory. All but the last few lie
  // under "__MACOSX/", which extraction walks past without writing them.
  const fs::path path = root() / "many.zip";
  auto archive = ZAZipArchive::initWithPath(path.string());
  ASSERT_TRUE(archive->open());
  const int count = 65600;
  for (int i = 0; i < count; ++i) {
    const std::string name = (i < count - 3 ? "__MACOSX/f" : "real/f") + std::to_string(i);
    ASSERT_TRUE(archive->writeData(platform::dataFromString(std::to_string(i)), name, 0, "", false));
  }
  ASSERT_TRUE(archive->close());
  auto test = run("unzip -tq " + quoted(path.string()));
  EXPECT_EQ(test.exitCode, 0) << test.output;
  std::vector<std::int64_t> written;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(
      path.string(), (root() / "out").string(),
      [&](const std::string&, const unz_file_info&, std::int64_t index, std::int64_t) {
        written.push_back(index);
      },
      nullptr));
  EXPECT_EQ(written, (std::vector<std::int64_t>{count - 3, count - 2, count - 1}));
  EXPECT_EQ(readText(root() / "out" / "real" / "f65599"), "65599");
}

// Entries above 4 GiB need Zip64 sizes. Writing and testing 4.5 GiB takes a while, so this runs
// only when QV_ZIP64_TESTS is set.
TEST_F(ZAZipArchiveWriting, EntriesAbove4GiBUseZip64) {
  if (!std::getenv("QV_ZIP64_TESTS")) GTEST_SKIP() << "set QV_ZIP64_TESTS=1 to run";
  const fs::path big = root() / "big.bin";
  const std::uint64_t size = (std::uint64_t(9) << 29);  // 4.5 GiB, sparse
  { std::ofstream(big, std::ios::binary); }
  fs::resize_file(big, size);
  const fs::path path = root() / "big.zip";
  auto archive = ZAZipArchive::initWithPath(path.string());
  ASSERT_TRUE(archive->open());
  ASSERT_TRUE(archive->writeFileAtPath(big.string(), "big.bin", 1, "", false));
  writeText(root() / "after.txt", "after");
  ASSERT_TRUE(archive->writeFile((root() / "after.txt").string(), ""));
  ASSERT_TRUE(archive->close());
  fs::remove(big);
  auto entries = entriesOf(path);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].size, size);
  auto test = run("unzip -tq " + quoted(path.string()));
  EXPECT_EQ(test.exitCode, 0) << test.output;

  // Our reader sees the 64-bit size; the delegate stops before 4.5 GiB are written.
  struct SizeDelegate : ZAZipArchiveDelegate {
    bool zipArchiveShouldUnzipFileAtIndex(std::int64_t, std::int64_t, const std::string&,
                                          const unz_file_info& info) override {
      seen = info.uncompressedSize;
      return false;
    }
    std::uint64_t seen = 0;
  } delegate;
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(path.string(), (root() / "out").string(), &delegate));
  EXPECT_EQ(delegate.seen, size);
}
