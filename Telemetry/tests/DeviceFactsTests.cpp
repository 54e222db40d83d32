#include <gtest/gtest.h>

#include <cstdlib>

#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "Telemetry/Internals/Util/TLDeviceFacts.h"
#include "testing/Sandbox.h"

namespace {

using Files = std::map<std::string, std::string>;

class DeviceFactsTest : public qvtesting::SandboxTest {
 protected:
  TLDeviceFacts facts(const std::string& tree, const Files& files,
                      std::map<std::string, std::string> environment = {}, std::string machine = "x86_64",
                      std::string release = "6.1.0-18-amd64") {
    for (const auto& [path, content] : files) writeFile(std::filesystem::path(tree) / path, content);
    TLDeviceFacts::Source source;
    source.root = root() / tree;
    source.environment = std::move(environment);
    source.machine = std::move(machine);
    source.release = std::move(release);
    return TLDeviceFacts(source);
  }
};

const char* kDebianOsRelease =
    "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
    "VERSION=\"12 (bookworm)\"\nID=debian\n";

TEST_F(DeviceFactsTest, SystemFactsFromTrees) {
  struct Case {
    const char* name;
    Files files;
    std::string machine;
    std::string model;
    std::optional<std::string> oem;
    std::string osName;
    std::string osVersion;
  };
  const Case cases[] = {
      {"debian with DMI",
       {{"sys/class/dmi/id/product_name", "ThinkPad X1 Carbon\n"},
        {"sys/class/dmi/id/sys_vendor", "LENOVO\n"},
        {"etc/os-release", kDebianOsRelease},
        {"etc/debian_version", "12.11\n"}},
       "x86_64",
       "ThinkPad X1 Carbon",
       "LENOVO",
       "Debian GNU/Linux",
       "12.11.0"},
      {"no DMI, device tree",
       {{"proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31)},
        {"etc/os-release", "NAME=Fedora Linux\nVERSION_ID=39\n"}},
       "aarch64",
       "Raspberry Pi 4 Model B Rev 1.4",
       std::nullopt,
       "Fedora Linux",
       "39.0.0"},
      {"no DMI, no device tree",
       {{"usr/lib/os-release", "NAME='Arch Linux'\nBUILD_ID=rolling\n"}},
       "x86_64",
       "x86_64",
       std::nullopt,
       "Arch Linux",
       "6.1.0"},
      {"nothing at all", {}, "riscv64", "riscv64", std::nullopt, "Linux", "6.1.0"},
      {"ubuntu's debian_version is a name",
       {{"etc/debian_version", "bookworm/sid\n"},
        {"etc/os-release", "NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\n"}},
       "x86_64",
       "x86_64",
       std::nullopt,
       "Ubuntu",
       "22.04.0"},
      {"empty DMI name",
       {{"sys/class/dmi/id/product_name", "\n"}},
       "x86_64",
       "x86_64",
       std::nullopt,
       "Linux",
       "6.1.0"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = facts("tree" + std::to_string(index++), c.files, {}, c.machine);
    EXPECT_EQ(f.model(), c.model);
    EXPECT_EQ(f.oemName(), c.oem);
    EXPECT_EQ(f.osName(), c.osName);
    EXPECT_EQ(f.osVersion(), c.osVersion);
    EXPECT_EQ(f.osBuild(), "6.1.0-18-amd64");
  }
}

TEST_F(DeviceFactsTest, VersionPadding) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"12", "12.0.0"},     {"12.11", "12.11.0"},       {"6.1.0-18-amd64", "6.1.0"},
      {"1.2.3.4", "1.2.3"}, {"bookworm", std::nullopt}, {"", std::nullopt},
      {"5.", "5.0.0"},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(TLDeviceFacts::threePartVersion(text), expected) << text;
}

TEST_F(DeviceFactsTest, Locales) {
  using Env = std::map<std::string, std::string>;
  const std::pair<Env, std::string> cases[] = {
      {{{"LANG", "en_US.UTF-8"}}, "en_US"},
      {{{"LANG", "C"}}, "en"},
      {{{"LANG", "C.UTF-8"}}, "en"},
      {{{"LANG", "POSIX"}}, "en"},
      {{}, "en"},
      {{{"LANG", "de"}}, "de"},  // a locale without a country gives the language alone
      {{{"LANG", "sr_RS@latin"}}, "sr-Latn_RS"},
      {{{"LANGUAGE", "sr@latin"}, {"LANG", "sr_RS.UTF-8"}}, "sr-Latn_RS"},
      {{{"LANGUAGE", "sr@latin"}}, "sr-Latn"},
      {{{"LANGUAGE", "fr_CA:fr"}, {"LANG", "en_US.UTF-8"}}, "fr_CA"},
      {{{"LANGUAGE", "fr:en"}, {"LANG", "en_US.UTF-8"}}, "fr_US"},
      {{{"LANGUAGE", "pt_BR"}, {"LANG", "C"}}, "en"},  // LANGUAGE is ignored while messages are in C
      {{{"LC_ALL", "nb_NO.UTF-8"}, {"LANG", "en_GB.UTF-8"}}, "nb_NO"},
      {{{"LC_MESSAGES", "it_IT.UTF-8"}, {"LANG", "en_GB.UTF-8"}}, "it_IT"},
      {{{"LC_MESSAGES", "it.UTF-8"}, {"LANG", "en_GB.UTF-8"}}, "it_GB"},
      {{{"LANGUAGE", ":ja_JP"}, {"LANG", "en_GB.UTF-8"}}, "ja_JP"},
      {{{"LANG", "garbage-value!"}}, "en"},
  };
  int index = 0;
  for (const auto& [environment, expected] : cases) {
    auto f = facts("locale" + std::to_string(index++), {}, environment);
    EXPECT_EQ(f.locale(), expected) << index;
  }
}

TEST_F(DeviceFactsTest, TimeZoneOffsets) {
  const char* saved = std::getenv("TZ");
  std::string savedValue = saved ? saved : "";
  const std::pair<const char*, std::int64_t> zones[] = {
      {"UTC0", 0}, {"IST-5:30", 330}, {"NST3:30", -210}, {"EST5", -300}, {"CET-1", 60}};
  for (const auto& [zone, minutes] : zones) {
    setenv("TZ", zone, 1);
    EXPECT_EQ(TLDeviceFacts::timeZoneOffset(1554111005), minutes) << zone;
  }
  if (saved)
    setenv("TZ", savedValue.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST_F(DeviceFactsTest, ScreenSizeAndApplicationFields) {
  TLApplicationHooks::clearScreenSize();
  EXPECT_EQ(TLDeviceFacts::screenSize(), "0x0");
  TLApplicationHooks::setScreenSize(1800, 2880);
  EXPECT_EQ(TLDeviceFacts::screenSize(), "1800x2880");
  TLApplicationHooks::clearScreenSize();
  EXPECT_EQ(TLDeviceFacts::appNamespace(), "com.quorvane.dashboard");
  EXPECT_FALSE(TLDeviceFacts::appVersion().empty());
  EXPECT_FALSE(TLDeviceFacts::appBuild().empty());
}

// The machine's own facts answer every required field.
TEST_F(DeviceFactsTest, RealMachineAnswers) {
  TLDeviceFacts f;
  EXPECT_FALSE(f.model().empty());
  EXPECT_FALSE(f.osName().empty());
  EXPECT_TRUE(TLDeviceFacts::threePartVersion(f.osVersion()));
  EXPECT_FALSE(f.osBuild().empty());
  EXPECT_FALSE(f.locale().empty());
}

}  // namespace
