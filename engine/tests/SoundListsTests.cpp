#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/NSSound+SystemSounds.h"
#include "platform/Files.h"
#include "testing/Sandbox.h"
#include "testing/TreePaths.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kWaveHead = std::string("RIFF\x24\x00\x00\x00WAVEfmt ", 16);

class SoundLists : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    const char* old = std::getenv("XDG_DATA_DIRS");
    savedDataDirs_ = old ? std::optional<std::string>(old) : std::nullopt;
    systemA_ = root() / "system-a";
    systemB_ = root() / "system-b";
    setenv("XDG_DATA_DIRS", (systemA_.string() + ":relative/ignored:" + systemB_.string()).c_str(), 1);
  }
  void TearDown() override {
    if (savedDataDirs_) {
      setenv("XDG_DATA_DIRS", savedDataDirs_->c_str(), 1);
    } else {
      unsetenv("XDG_DATA_DIRS");
    }
    SandboxTest::TearDown();
  }

  fs::path userFolder() const { return root() / "data" / "sounds"; }

  fs::path systemA_;
  fs::path systemB_;
  std::optional<std::string> savedDataDirs_;
};

TEST_F(SoundLists, FoldersFollowXDG) {
  EXPECT_EQ(zk_userSoundsFolder(), userFolder());
  std::vector<fs::path> expected = {systemA_ / "sounds", systemB_ / "sounds"};
  EXPECT_EQ(zk_systemSoundsFolders(), expected);
  unsetenv("XDG_DATA_DIRS");
  expected = {"/usr/local/share/sounds", "/usr/share/sounds"};
  EXPECT_EQ(zk_systemSoundsFolders(), expected);
}

TEST_F(SoundLists, RecognisesSoundsByTheirContent) {
  struct Case {
    const char* name;
    std::string content;
    bool isSound;
  } cases[] = {
      {"tone.wav", kWaveHead, true},
      {"tone.oga", "OggS\0\x02"s + std::string(10, '\0'), true},
      {"tone.flac", "fLaC\0\0\0\x22"s, true},
      {"tone.mp3", "ID3\x04\0\0\0\0\0\0"s, true},
      {"frame.mp3", "\xFF\xFB\x90\x64\0\0"s, true},
      {"tone.aiff",
       std::string("FORM\0\0\0\x10"
                   "AIFF",
                   12),
       true},
      {"tone.au", ".snd\0\0\0\x18"s, true},
      {"text.wav", "this is not a sound file", false},
      {"riff.avi", "RIFF\0\0\0\0AVI LIST"s, false},
      {"short.wav", "RI", false},
      {"empty.wav", "", false},
  };
  for (const auto& c : cases) {
    auto path = writeFile(fs::path("probe") / c.name, c.content);
    EXPECT_EQ(zk_isSoundFileAtPath(path), c.isSound) << c.name;
  }
  fs::create_directories(root() / "probe" / "folder.wav");
  EXPECT_FALSE(zk_isSoundFileAtPath(root() / "probe" / "folder.wav"));
  EXPECT_FALSE(zk_isSoundFileAtPath(root() / "probe" / "missing.wav"));
}

TEST_F(SoundLists, AllSoundsWalksSubfoldersAndLeavesOutNonSounds) {
  auto a = writeFile(userFolder() / "Alert.wav", kWaveHead);
  auto nested = writeFile(userFolder() / "theme" / "stereo" / "bell.oga", "OggS\0\x02"s);
  writeFile(userFolder() / "notes.txt", "hello");
  writeFile(userFolder() / "broken.wav", "not a sound");
  auto system = writeFile(systemB_ / "sounds" / "freedesktop" / "stereo" / "complete.oga", "OggS\0\x02"s);
  fs::create_symlink(a, userFolder() / "link.wav");
  fs::create_symlink(userFolder(), userFolder() / "theme" / "loop");  // a folder link is not followed

  std::vector<std::string> expected = {a.string(), (userFolder() / "link.wav").string(), nested.string(),
                                       system.string()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(zk_actualAllSoundsArray(), expected);
  EXPECT_EQ(zk_actualAllSoundsArray({userFolder()}).size(), 3u);
  EXPECT_TRUE(zk_actualAllSoundsArray({root() / "nowhere"}).empty());
}

TEST_F(SoundLists, NameListsAreRelativeWithoutExtension) {
  writeFile(userFolder() / "Ping.wav", kWaveHead);
  writeFile(userFolder() / "Ping.oga", "OggS\0\x02"s);  // the same name twice is listed once
  writeFile(userFolder() / "sub" / "Pong.wav", kWaveHead);
  writeFile(userFolder() / "readme.txt", "no");
  writeFile(systemA_ / "sounds" / "x" / "message.oga", "OggS\0\x02"s);
  writeFile(systemB_ / "sounds" / "bell.wav", kWaveHead);
  EXPECT_EQ(zk_userSoundsArray(), (std::vector<std::string>{"Ping", "sub/Pong"}));
  EXPECT_EQ(zk_systemSoundsArray(), (std::vector<std::string>{"bell", "x/message"}));
}

// Reads the few header fields that say a WAV file is short, uncompressed and playable.
struct WaveInfo {
  std::uint16_t format = 0;
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t bits = 0;
  std::uint32_t dataBytes = 0;
};

std::optional<WaveInfo> readWave(const fs::path& path) {
  auto bytes = platform::files::readFile(path);
  if (!bytes || bytes->size() < 44) return std::nullopt;
  auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>((*bytes)[at] | (*bytes)[at + 1] << 8); };
  auto u32 = [&](std::size_t at) { return static_cast<std::uint32_t>(u16(at) | u16(at + 2) << 16); };
  if (std::string(bytes->begin(), bytes->begin() + 4) != "RIFF") return std::nullopt;
  WaveInfo info;
  std::size_t at = 12;
  while (at + 8 <= bytes->size()) {
    std::string id(bytes->begin() + at, bytes->begin() + at + 4);
    std::uint32_t size = u32(at + 4);
    if (id == "fmt " && at + 24 <= bytes->size()) {
      info.format = u16(at + 8);
      info.channels = u16(at + 10);
      info.rate = u32(at + 12);
      info.bits = u16(at + 22);
    } else if (id == "data") {
      info.dataBytes = size;
    }
    at += 8 + size + (size & 1);
  }
  return info;
}

TEST(BundledSounds, ShipsAtLeastSixShortWaveFilesSortedByPath) {
  platform::Bundle bundle(QV_SOURCE_RESOURCES);
  auto sounds = zk_bundledSoundsInSubdirectory(bundle, "Sounds");
  ASSERT_GE(sounds.size(), 6u);
  EXPECT_TRUE(std::is_sorted(sounds.begin(), sounds.end()));
  // The sixth sound is every sound option's default.
  EXPECT_EQ(fs::path(sounds[5]).filename(), "Glass.wav");
  for (const auto& sound : sounds) {
    EXPECT_TRUE(zk_isSoundFileAtPath(sound)) << sound;
    auto info = readWave(sound);
    ASSERT_TRUE(info) << sound;
    EXPECT_EQ(info->format, 1) << sound;  // PCM
    EXPECT_EQ(info->channels, 1) << sound;
    EXPECT_EQ(info->bits, 16) << sound;
    ASSERT_GT(info->rate, 0u);
    double seconds = static_cast<double>(info->dataBytes) / (info->rate * 2.0);
    EXPECT_GT(seconds, 0.03) << sound;
    EXPECT_LT(seconds, 2.0) << sound;
  }
  EXPECT_TRUE(zk_bundledSoundsInSubdirectory(bundle, "No Such Folder").empty());
}

TEST(BundledSounds, MainBundleFindsTheShippedSounds) {
  EXPECT_GE(zk_bundledNotificationSounds().size(), 6u);
  EXPECT_EQ(&zk_bundledNotificationSounds(), &zk_bundledNotificationSounds());  // made once
}

}  // namespace
