#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <climits>
#include <random>

#include "ZipTestSupport.h"

using namespace ziptest;

namespace {

class ZAZipArchiveReading : public qvtesting::SandboxTest {
 protected:
  fs::path source() const { return root() / "source"; }
  fs::path destination() const { return root() / "dest"; }

  // A tree with the kinds of files a backup holds, with modes the tools keep.
  void makeTree(bool withLink) {
    writeText(source() / "Modules.plist", "<plist/>");
    writeText(source() / "Logs" / "mod_1.log", std::string(50000, 'l'));
    writeText(source() / "Modules" / "x.quorvanemodule" / "main.js", "console.log(1)\n");
    writeText(source() / "Modules" / "x.quorvanemodule" / "bin" / "tool", "#!/bin/sh\n");
    writeText(source() / ".dotfile", "dot");
    ::chmod((source() / "Modules" / "x.quorvanemodule" / "bin" / "tool").c_str(), 0755);
    ::chmod((source() / "Modules.plist").c_str(), 0600);
    if (withLink) fs::create_symlink("bin/tool", source() / "Modules" / "x.quorvanemodule" / "tool-link");
  }

  std::map<std::string, std::string> sourceTree() { return describeTree(source()); }

  // Files and links only: tools differ in whether they store folders of their own.
  static std::map<std::string, std::string> withoutFolders(std::map<std::string, std::string> tree) {
    std::erase_if(tree, [](const auto& item) { return item.second == "d"; });
    return tree;
  }

  unsigned defaultFileMode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
  }
};

}  // namespace

// ---- Archives made by other tools ----

TEST_F(ZAZipArchiveReading, ExtractsArchivesMadeByTheRealTools) {
  struct Case {
    const char* tool;
    std::string command;  // run inside the source folder, writing ../made.zip
    std::string password;
    bool keepsLinks;
  } cases[] = {
      {"zip -r -y", "zip -q -r -y ../made.zip .", "", true},
      {"zip -P", "zip -q -r -P pw1 ../made.zip .", "pw1", false},
      {"7z AES-256", "7z a -tzip -mem=AES256 -ppw2 ../made.zip . >/dev/null", "pw2", false},
      {"7z ZipCrypto", "7z a -tzip -mem=ZipCrypto -ppw3 ../made.zip . >/dev/null", "pw3", false},
      {"7z deflate", "7z a -tzip ../made.zip . >/dev/null", "", false},
      {"python zipfile",
       "python3 -c \"import zipfile, os\n"
       "with zipfile.ZipFile('../made.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
       "    for d, dirs, files in os.walk('.'):\n"
       "        for f in files: z.write(os.path.join(d, f))\n\"",
       "", false},
      {"python zipfile stored",
       "python3 -c \"import zipfile, os\n"
       "with zipfile.ZipFile('../made.zip', 'w', zipfile.ZIP_STORED) as z:\n"
       "    for d, dirs, files in os.walk('.'):\n"
       "        for f in files: z.write(os.path.join(d, f))\n\"",
       "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    fs::remove_all(source());
    fs::remove_all(destination());
    fs::remove(root() / "made.zip");
    makeTree(c.keepsLinks);
    auto made = run("cd " + quoted(source().string()) + " && " + c.command);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    platform::Error error;
    ASSERT_TRUE(ZAZipArchive::unzipFileAtPath((root() / "made.zip").string(), destination().string(), true,
                                              c.password, &error))
        << error.description;
    EXPECT_EQ(withoutFolders(describeTree(destination())), withoutFolders(sourceTree()));
    EXPECT_EQ(ZAZipArchive::isFilePasswordProtectedAtPath((root() / "made.zip").string()),
              !c.password.empty());
    if (!c.password.empty()) {
      EXPECT_TRUE(
          ZAZipArchive::isPasswordValidForArchiveAtPath((root() / "made.zip").string(), c.password, &error));
      EXPECT_FALSE(
          ZAZipArchive::isPasswordValidForArchiveAtPath((root() / "made.zip").string(), "nope", &error));
      EXPECT_FALSE(ZAZipArchive::unzipFileAtPath((root() / "made.zip").string(), (root() / "wrong").string(),
                                                 true, "nope", &error));
      EXPECT_FALSE(error.description.empty());
    }
  }
}

// ---- Delegate and blocks ----

TEST_F(ZAZipArchiveReading, DelegateSeesEveryStepInOrder) {
  auto archive =
      craftArchive(root() / "two.zip", {{"one.txt", "1"}, {"dir/", "", 040755}, {"__MACOSX/._one.txt", "x"}});
  const auto size = std::to_string(fs::file_size(archive));
  RecordingDelegate delegate;
  std::vector<std::string> progress;
  std::optional<std::string> completedPath;
  bool completedSuccess = false;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(
      archive.string(), destination().string(), true, true, "", nullptr, &delegate,
      [&](const std::string& entry, const unz_file_info&, std::int64_t index, std::int64_t total) {
        progress.push_back(entry + " " + std::to_string(index) + "/" + std::to_string(total));
      },
      [&](const std::optional<std::string>& path, bool succeeded,
          const std::optional<platform::Error>& error) {
        completedPath = path;
        completedSuccess = succeeded;
        EXPECT_FALSE(error.has_value());
      }));
  ASSERT_EQ(delegate.calls.size(), 15u);
  EXPECT_EQ(delegate.calls[0], "willUnzipArchive 3");
  EXPECT_EQ(delegate.calls[1], "progress 0/" + size);
  EXPECT_EQ(delegate.calls[2], "should 0/3");
  EXPECT_EQ(delegate.calls[3], "will 0");
  EXPECT_EQ(delegate.calls[5], "did 0 one.txt");
  EXPECT_EQ(delegate.calls[6], "should 1/3");
  EXPECT_EQ(delegate.calls[9], "did 1 dir");
  // "__MACOSX/" entries are asked about and announced, but neither written nor reported done.
  EXPECT_EQ(delegate.calls[10], "should 2/3");
  EXPECT_EQ(delegate.calls[11], "will 2");
  EXPECT_EQ(delegate.calls[12].rfind("progress ", 0), 0u);
  EXPECT_EQ(delegate.calls[13], "didUnzipArchive");
  EXPECT_EQ(delegate.calls[14], "progress " + size + "/" + size);
  EXPECT_EQ(progress, (std::vector<std::string>{"one.txt 0/3", "dir/ 1/3"}));
  EXPECT_FALSE(fs::exists(destination() / "__MACOSX"));
  EXPECT_EQ(completedPath, archive.string());
  EXPECT_TRUE(completedSuccess);
}

TEST_F(ZAZipArchiveReading, TheFileInfoFormOfDidUnzipReplacesThePathForm) {
  struct Delegate : RecordingDelegate {
    void zipArchiveDidUnzipFileAtIndex(std::int64_t index, std::int64_t, const std::string&,
                                       const unz_file_info& info) override {
      calls.push_back("didInfo " + std::to_string(index) + " " + std::to_string(info.uncompressedSize));
    }
    using RecordingDelegate::zipArchiveDidUnzipFileAtIndex;
  } delegate;
  auto archive = craftArchive(root() / "one.zip", {{"one.txt", "12345"}});
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), &delegate));
  EXPECT_NE(std::find(delegate.calls.begin(), delegate.calls.end(), "didInfo 0 5"), delegate.calls.end());
  for (const auto& call : delegate.calls) EXPECT_NE(call.rfind("did 0", 0), 0u) << call;
}

TEST_F(ZAZipArchiveReading, ADelegateRefusingTheFirstEntryCancelsWithoutError) {
  auto archive = craftArchive(root() / "one.zip", {{"one.txt", "1"}, {"two.txt", "2"}});
  RecordingDelegate delegate;
  delegate.refuseIndex = 0;
  std::optional<platform::Error> reported;
  bool called = false;
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(
      archive.string(), destination().string(), true, true, "", nullptr, &delegate, nullptr,
      [&](const std::optional<std::string>&, bool, const std::optional<platform::Error>& error) {
        called = true;
        reported = error;
      }));
  EXPECT_TRUE(called);
  EXPECT_FALSE(reported.has_value());
  EXPECT_EQ(delegate.calls.back(), "should 0/2") << "no final progress event after a cancel";
  EXPECT_FALSE(fs::exists(destination() / "one.txt"));
}

// ---- Names, dates, permissions ----

TEST_F(ZAZipArchiveReading, NamesAreMappedIntoTheDestination) {
  auto archive = craftArchive(root() / "names.zip", {
                                                        {"a\\b.txt", "backslash"},
                                                        {"\x01\xFF\x02x", "undecodable"},
                                                        {"R\x82sum\x82.txt", "code page 437"},
                                                        {"", "nameless"},
                                                        {"win\\folder\\", "", 040755},
                                                        {"./dot/./file.txt", "dots"},
                                                    });
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string()));
  EXPECT_EQ(readText(destination() / "a" / "b.txt"), "backslash");
  EXPECT_EQ(readText(destination() / "01FF0278"), "undecodable");
  EXPECT_EQ(readText(destination() / "R\xC3\xA9sum\xC3\xA9.txt"), "code page 437");
  EXPECT_EQ(readText(destination() / "3"), "nameless");
  EXPECT_TRUE(fs::is_directory(destination() / "win" / "folder"));
  EXPECT_EQ(readText(destination() / "dot" / "file.txt"), "dots");
}

TEST_F(ZAZipArchiveReading, WithoutOverwriteAnExistingFileStaysButTakesTheArchiveDate) {
  auto archive = craftArchive(
      root() / "a.zip",
      {{"a.txt", "from archive", 0100644, 3, false, {2019, 6, 7, 8, 9, 10}}, {"b.txt", "new", 0100644}});
  writeText(destination() / "a.txt", "mine");
  platform::Error error;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), false, "", &error));
  EXPECT_EQ(readText(destination() / "a.txt"), "mine");
  EXPECT_EQ(readText(destination() / "b.txt"), "new");
  EXPECT_EQ(modificationTimeOf(destination() / "a.txt"), localTime(2019, 6, 7, 8, 9, 10));
  EXPECT_EQ(modificationTimeOf(destination() / "b.txt"), localTime(2020, 2, 3, 4, 5, 6));

  // With overwrite the archive wins.
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), true, "", &error));
  EXPECT_EQ(readText(destination() / "a.txt"), "from archive");
}

TEST_F(ZAZipArchiveReading, OnlyPermissionBitsOfUnixEntriesAreApplied) {
  const unsigned fallback = defaultFileMode();
  struct Case {
    const char* name;
    std::uint32_t mode;
    int host;
    unsigned expected;
  } cases[] = {
      {"readonly", 0100444, 3, 0644},  // owner read and write are added
      {"exec", 0100755, 3, 0755},     {"private", 0100600, 3, 0600},
      {"setuid", 0104755, 3, 0755},  // set-id and sticky bits are never applied
      {"setgid", 0102750, 3, 0750},   {"sticky", 0101777, 3, 0777},
      {"dos", 0100755, 0, fallback},  // not made on Unix: the upper half means nothing
  };
  std::vector<CraftedEntry> entries;
  for (const auto& c : cases) entries.push_back({c.name, c.name, c.mode, c.host});
  auto archive = craftArchive(root() / "modes.zip", entries);
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string()));
  for (const auto& c : cases) EXPECT_EQ(modeOf(destination() / c.name), c.expected) << c.name;

  // Without preserving attributes nothing is applied.
  platform::Error error;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), (root() / "plain").string(), false, true, "",
                                            &error, nullptr));
  EXPECT_EQ(modeOf(root() / "plain" / "exec"), fallback);
}

// ---- Nested archives ----

TEST_F(ZAZipArchiveReading, NestedArchivesOpenOnlyWhenAsked) {
  auto inner = craftArchive(root() / "inner.zip", {{"inside.txt", "inside"}});
  auto outer = craftArchive(root() / "outer.zip", {{"sub/Inner.ZIP", readText(inner)}, {"top.txt", "top"}});

  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(outer.string(), destination().string()));
  EXPECT_TRUE(fs::exists(destination() / "sub" / "Inner.ZIP")) << "written as a file by default";
  EXPECT_FALSE(fs::exists(destination() / "sub" / "inside.txt"));

  const fs::path opened = root() / "opened";
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(outer.string(), opened.string(), true, true, 1, "", nullptr,
                                            nullptr, nullptr, nullptr));
  EXPECT_EQ(readText(opened / "sub" / "inside.txt"), "inside");
  EXPECT_FALSE(fs::exists(opened / "sub" / "Inner.ZIP")) << "the opened archive is removed";
  EXPECT_EQ(readText(opened / "top.txt"), "top");
}

// ---- Damage and failures ----

TEST_F(ZAZipArchiveReading, ADamagedEntryFailsItsChecksum) {
  auto archive = craftArchive(root() / "crc.zip",
                              {{"good.txt", "good"}, {"bad.txt", "hello checksum world", 0100644, 3, true}});
  std::string bytes = readText(archive);
  bytes.replace(bytes.find("checksum"), 8, "CHECKSUM");
  writeText(archive, bytes);
  platform::Error error;
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), true, "", &error));
  EXPECT_EQ(error.domain, ZAZipArchiveErrorDomain);
  EXPECT_EQ(error.code, -3);
  EXPECT_EQ(error.description, "crc check failed for file");
  EXPECT_EQ(readText(destination() / "good.txt"), "good");
  EXPECT_FALSE(fs::exists(destination() / "bad.txt")) << "damaged content is not left behind";
}

TEST_F(ZAZipArchiveReading, ATamperedAESEntryFailsItsAuthentication) {
  // 7-Zip's AES entries carry no CRC; their authentication code must catch any change.
  writeText(source() / "data.txt", std::string(4000, 'd'));
  auto made =
      run("cd " + quoted(source().string()) + " && 7z a -tzip -mx0 -mem=AES256 -ppw ../aes.zip . >/dev/null");
  ASSERT_EQ(made.exitCode, 0) << made.output;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath((root() / "aes.zip").string(), destination().string(), true, "pw",
                                            nullptr));
  std::string bytes = readText(root() / "aes.zip");
  bytes[2000] = static_cast<char>(bytes[2000] ^ 0x01);
  writeText(root() / "aes.zip", bytes);
  platform::Error error;
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath((root() / "aes.zip").string(), (root() / "tampered").string(),
                                             true, "pw", &error));
  EXPECT_EQ(error.code, -3);
  EXPECT_FALSE(fs::exists(root() / "tampered" / "data.txt"));
  EXPECT_FALSE(ZAZipArchive::isPasswordValidForArchiveAtPath((root() / "aes.zip").string(), "pw", &error));
}

TEST_F(ZAZipArchiveReading, BrokenAndTruncatedArchivesFailWithAnError) {
  makeTree(false);
  auto made = run("cd " + quoted(source().string()) + " && zip -q ../whole.zip Modules.plist Logs/mod_1.log");
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string whole = readText(root() / "whole.zip");
  const std::size_t eocd = whole.rfind(std::string("PK\x05\x06", 4));
  const std::size_t directory = whole.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(eocd, std::string::npos);
  ASSERT_NE(directory, std::string::npos);

  auto patched = [&](std::size_t offset, const std::string& bytes) {
    std::string copy = whole;
    copy.replace(offset, bytes.size(), bytes);
    return copy;
  };
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"ten bytes", whole.substr(0, 10)},
      {"first half", whole.substr(0, whole.size() / 2)},
      {"without the end record", whole.substr(0, eocd)},
      {"last byte missing", whole.substr(0, whole.size() - 1)},
      {"more entries counted than present", patched(eocd + 8, std::string("\x7F\x00\x7F\x00", 4))},
      {"first entry's data far beyond the end", patched(directory + 42, std::string("\x00\x00\x00\x70", 4))},
      {"not an archive at all", std::string(5000, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeText(root() / "broken.zip", c.bytes);
    platform::Error error;
    std::optional<platform::Error> completionError;
    EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(
        (root() / "broken.zip").string(), destination().string(), true, true, "", &error, nullptr, nullptr,
        [&](const std::optional<std::string>&, bool, const std::optional<platform::Error>& e) {
          completionError = e;
        }));
    EXPECT_EQ(error.domain, ZAZipArchiveErrorDomain);
    EXPECT_LT(error.code, 0);
    EXPECT_TRUE(completionError.has_value());
    EXPECT_FALSE(ZAZipArchive::isFilePasswordProtectedAtPath((root() / "broken.zip").string()));
  }
}

TEST_F(ZAZipArchiveReading, ArgumentAndOpeningErrors) {
  struct Case {
    std::string path;
    std::string destination;
    std::int64_t code;
    const char* text;
  } cases[] = {
      {"", "dest", -6, "received invalid argument(s)"},
      {"x.zip", "", -6, "received invalid argument(s)"},
      {"missing.zip", "dest", -1, "failed to open zip file"},
      {".", "dest", -1, "failed to open zip file"},
  };
  for (const auto& c : cases) {
    platform::Error error;
    bool called = false;
    std::optional<std::string> completedPath = "unset";
    EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(
        c.path.empty() ? "" : (root() / c.path).string(),
        c.destination.empty() ? "" : (root() / c.destination).string(), true, true, "", &error, nullptr,
        nullptr, [&](const std::optional<std::string>& path, bool, const std::optional<platform::Error>&) {
          called = true;
          completedPath = path;
        }));
    EXPECT_EQ(error.code, c.code) << c.path;
    EXPECT_EQ(error.description, c.text);
    EXPECT_TRUE(called);
    EXPECT_EQ(completedPath, std::nullopt) << "no archive path before the entries are reached";
  }
  platform::Error error;
  EXPECT_FALSE(
      ZAZipArchive::isPasswordValidForArchiveAtPath((root() / "missing.zip").string(), "pw", &error));
  EXPECT_EQ(error.code, -1);
}

TEST_F(ZAZipArchiveReading, AnEntryThatCannotBeWrittenFailsTheRun) {
  auto archive =
      craftArchive(root() / "a.zip", {{"first.txt", "1"}, {"blocked.txt", "2"}, {"never.txt", "3"}});
  fs::create_directories(destination() / "blocked.txt" / "keep");
  platform::Error error;
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), true, "", &error));
  EXPECT_FALSE(error.description.empty());
  EXPECT_TRUE(fs::is_directory(destination() / "blocked.txt" / "keep"));
  EXPECT_FALSE(fs::exists(destination() / "never.txt"));

  // A folder needed for an entry cannot be made where a file stands.
  auto nested = craftArchive(root() / "b.zip", {{"file.txt/inner.txt", "x"}});
  writeText(root() / "dest2" / "file.txt", "a file");
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(nested.string(), (root() / "dest2").string(), true, "", &error));
  EXPECT_EQ(readText(root() / "dest2" / "file.txt"), "a file");
}

TEST_F(ZAZipArchiveReading, AFailedWriteIsReportedAndLeavesTheOldFile) {
  std::mt19937 random(3);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  auto archive = craftArchive(root() / "big.zip", {{"big.bin", noise, 0100644, 3, true}});
  writeText(destination() / "big.bin", "old content");

  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = 256 * 1024;
  ::setrlimit(RLIMIT_FSIZE, &limited);
  platform::Error error;
  const bool extracted =
      ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), true, "", &error);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(extracted);
  EXPECT_EQ(error.code, -5);
  EXPECT_EQ(error.description, "Failed to write file (check your free space)");
  EXPECT_EQ(readText(destination() / "big.bin"), "old content");
  EXPECT_EQ(std::distance(fs::directory_iterator(destination()), fs::directory_iterator()), 1)
      << "no partial file is left";
}

TEST_F(ZAZipArchiveReading, ContentIsHeldToTheSizeItsEntryDeclares) {
  // An archive made by Python whose "bomb.bin" (1 MiB) then gets another size in both of its headers.
  struct Case {
    std::string name;
    std::uint32_t declared;
    bool stored;
  };
  const std::vector<Case> cases = {
      {"declares 10 bytes, inflates to 1 MiB", 10, false},
      {"declares 2 MiB, inflates to 1 MiB", 2u << 20, false},
      {"stored, declares 10 bytes", 10, true},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path archive = root() / ("lying" + std::to_string(++number) + ".zip");
    const fs::path into = root() / ("out" + std::to_string(number));
    auto made = python(root(), "with zipfile.ZipFile(" + quoted(archive.string()) +
                                   ", 'w') as z:\n"
                                   "    z.writestr('first.txt', 'ok')\n"
                                   "    z.writestr('bomb.bin', b'a' * (1 << 20), " +
                                   (c.stored ? "zipfile.ZIP_STORED" : "zipfile.ZIP_DEFLATED") +
                                   ")\n"
                                   "d = bytearray(open(" +
                                   quoted(archive.string()) +
                                   ", 'rb').read())\n"
                                   "local = d.rfind(b'PK\\x03\\x04', 0, d.find(b'bomb.bin') + 1)\n"
                                   "central = d.rfind(b'PK\\x01\\x02', 0, d.rfind(b'bomb.bin') + 1)\n"
                                   "struct.pack_into('<I', d, local + 22, " +
                                   std::to_string(c.declared) +
                                   ")\n"
                                   "struct.pack_into('<I', d, central + 24, " +
                                   std::to_string(c.declared) +
                                   ")\n"
                                   "open(" +
                                   quoted(archive.string()) + ", 'wb').write(d)\n");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    platform::Error error;
    EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), into.string(), true, "", &error));
    EXPECT_EQ(error.domain, ZAZipArchiveErrorDomain);
    EXPECT_EQ(error.code, ZAZipArchiveErrorCodeSizeMismatch) << error.description;
    EXPECT_EQ(readText(into / "first.txt"), "ok");
    EXPECT_FALSE(fs::exists(into / "bomb.bin")) << "a refused entry leaves no file";
    std::uintmax_t written = 0;
    for (const auto& item : fs::recursive_directory_iterator(into)) {
      if (item.is_regular_file()) written += item.file_size();
    }
    EXPECT_LE(written, 2u + c.declared);
  }
}

TEST_F(ZAZipArchiveReading, NamesTooLongForTheFileSystemHaveTheirOwnError) {
  const std::string longest(NAME_MAX, 'n');
  const std::string tooLong(NAME_MAX + 1, 'n');
  struct Case {
    std::string name;
    std::string entry;
    bool extracted;
  };
  const std::vector<Case> cases = {
      {"the longest name", longest, true},
      {"a file name one byte too long", tooLong, false},
      {"a folder name too long", tooLong + "/inner.txt", false},
      {"a folder entry too long", "outer/" + tooLong + "/", false},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path archive = craftArchive(root() / ("long" + std::to_string(++number) + ".zip"),
                                          {{"before.txt", "before"}, {c.entry, "content"}});
    const fs::path into = root() / ("long-out" + std::to_string(number));
    platform::Error error;
    EXPECT_EQ(ZAZipArchive::unzipFileAtPath(archive.string(), into.string(), true, "", &error), c.extracted);
    EXPECT_EQ(readText(into / "before.txt"), "before");
    if (c.extracted) {
      EXPECT_EQ(readText(into / c.entry), "content");
      continue;
    }
    EXPECT_EQ(error.domain, ZAZipArchiveErrorDomain);
    EXPECT_EQ(error.code, ZAZipArchiveErrorCodeNameTooLong) << error.description;
    EXPECT_NE(error.description.find("too long"), std::string::npos) << error.description;
    EXPECT_EQ(error.description.find("free space"), std::string::npos) << error.description;
  }
}

// ---- Symbolic links ----

TEST_F(ZAZipArchiveReading, SymbolicLinksAreRecreatedAndReplaced) {
  auto archive = craftArchive(root() / "links.zip", {
                                                        {"target.txt", "target"},
                                                        {"sub/up", "../target.txt", 0120777},
                                                        {"same", "target.txt", 0120777},
                                                    });
  // An existing file or link at the path of a link or file entry is replaced, not written through.
  writeText(root() / "outside.txt", "outside");
  fs::create_directories(destination());
  fs::create_symlink(root() / "outside.txt", destination() / "target.txt");
  writeText(destination() / "same", "a file in the way");
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string()));
  EXPECT_EQ(readText(root() / "outside.txt"), "outside");
  EXPECT_FALSE(fs::is_symlink(destination() / "target.txt"));
  EXPECT_EQ(readText(destination() / "target.txt"), "target");
  EXPECT_EQ(fs::read_symlink(destination() / "sub" / "up"), "../target.txt");
  EXPECT_EQ(readText(destination() / "sub" / "up"), "target");
  EXPECT_EQ(fs::read_symlink(destination() / "same"), "target.txt");

  // Without overwrite, an existing link stays as it is.
  auto other = craftArchive(root() / "other.zip", {{"same", "elsewhere.txt", 0120777}});
  platform::Error error;
  ASSERT_TRUE(ZAZipArchive::unzipFileAtPath(other.string(), destination().string(), false, "", &error));
  EXPECT_EQ(fs::read_symlink(destination() / "same"), "target.txt");
}

// ---- Archives built to escape the destination ----

TEST_F(ZAZipArchiveReading, ArchivesThatWouldWriteOutsideTheDestinationAreRefused) {
  const std::string escaped = (root() / "escaped.txt").string();
  const fs::path outside = root() / "outside";
  struct Case {
    const char* what;
    std::vector<CraftedEntry> entries;
    std::int64_t code;
  } cases[] = {
      {"absolute name", {{escaped, "x"}}, -7},
      {"parent segment", {{"../escaped.txt", "x"}}, -7},
      {"parent segments after a folder", {{"sub/../../escaped.txt", "x"}}, -7},
      {"parent segment with backslashes", {{"..\\escaped.txt", "x"}}, -7},
      {"parent segments with backslashes", {{"sub\\..\\..\\escaped.txt", "x"}}, -7},
      {"parent segment hidden behind a NUL", {{std::string("ok.txt\0/../../escaped.txt", 25), "x"}}, -7},
      {"NUL in the name", {{std::string("esc\0aped.txt", 12), "x"}}, -7},
      {"link to an absolute path", {{"lnk", outside.string(), 0120777}, {"lnk/escaped.txt", "x"}}, -9},
      {"link that climbs out", {{"lnk", "../outside", 0120777}, {"lnk/escaped.txt", "x"}}, -9},
      {"link deep inside that climbs out", {{"a/b/lnk", "../../../outside", 0120777}}, -9},
      {"link that climbs after descending", {{"sub/lnk", "x/../..", 0120777}}, -9},
      {"link with an overlong target", {{"lnk", std::string(5000, 'a'), 0120777}}, -9},
      {"file written through a link inside",
       {{"inside/", "", 040755}, {"lnk", "inside", 0120777}, {"lnk/escaped.txt", "x"}},
       -8},
      {"folder made through a link inside",
       {{"inside/", "", 040755}, {"lnk", "inside", 0120777}, {"lnk/sub/", "", 040755}},
       -8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(destination());
    fs::remove_all(outside);
    fs::create_directories(outside);
    writeText(outside / "keep.txt", "keep");
    auto archive = craftArchive(root() / "evil.zip", c.entries);
    platform::Error error;
    EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), true, "", &error));
    EXPECT_EQ(error.domain, ZAZipArchiveErrorDomain) << error.description;
    EXPECT_EQ(error.code, c.code) << error.description;
    EXPECT_FALSE(fs::exists(escaped));
    EXPECT_EQ(describeTree(outside), (std::map<std::string, std::string>{{"keep.txt", "f 0644 keep"}}));
    EXPECT_FALSE(fs::exists(destination() / "inside" / "escaped.txt"));
    EXPECT_FALSE(fs::exists(destination() / "inside" / "sub"));
    EXPECT_FALSE(fs::exists(destination() / "esc"));
  }
}

TEST_F(ZAZipArchiveReading, ALinkAlreadyInTheDestinationIsNotWalkedThrough) {
  const fs::path outside = root() / "outside";
  fs::create_directories(outside);
  fs::create_directories(destination());
  fs::create_symlink(outside, destination() / "pre");
  auto archive = craftArchive(root() / "a.zip", {{"pre/escaped.txt", "x"}});
  platform::Error error;
  EXPECT_FALSE(ZAZipArchive::unzipFileAtPath(archive.string(), destination().string(), true, "", &error));
  EXPECT_EQ(error.code, -8);
  EXPECT_TRUE(fs::is_empty(outside));
}
