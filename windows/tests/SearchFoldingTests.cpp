// Search matching ignores case and diacritics, as a table of texts and searches.
#include <gtest/gtest.h>

#include "windows/QVSearchFolding.h"

namespace windowstest {
namespace {

TEST(SearchFoldingTest, ContainsAndEqualsIgnoreCaseAndDiacritics) {
  struct Case {
    const char* text;
    const char* needle;
    bool contains;
  };
  for (const auto& c : std::vector<Case>{{"Weather", "weath", true},
                                         {"Météo locale", "METEO", true},
                                         {"meteo", "Météo", true},
                                         {"Straße", "STRASSE", true},
                                         {"Ångström", "angstrom", true},
                                         {"Crème brûlée", "creme BRULEE", true},
                                         {"Disk Space", "", true},
                                         {"Disk Space", "space ", false},
                                         {"Uptime", "time", true},
                                         {"Uptime", "tiem", false},
                                         {"ΣΟΦΊΑ", "σοφια", true},
                                         {"bad \xff utf-8", "utf-8", true}})
    EXPECT_EQ(QVFoldedContains(c.text, c.needle), c.contains) << c.text << " / " << c.needle;

  EXPECT_TRUE(QVFoldedEquals("Système", "systeme"));
  EXPECT_TRUE(QVFoldedEquals("NETWORK", "network"));
  EXPECT_FALSE(QVFoldedEquals("Network", "Networks"));
}

}  // namespace
}  // namespace windowstest
