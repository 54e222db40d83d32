#include <gtest/gtest.h>

#include "engine/ModuleCategories.h"

namespace {

TEST(ModuleCategories, SeventeenInTheEditorsOrder) {
  const std::vector<std::string> expected = {
      "Business",          "Developer Tools", "Education", "Entertainment", "Finance",      "Fitness",
      "Lifestyle",         "Medical",         "Music",     "News",          "Productivity", "Reference",
      "Social Networking", "Sports",          "Travel",    "Utilities",     "Weather",
  };
  EXPECT_EQ(availableCategories(), expected);
  EXPECT_EQ(&availableCategories(), &availableCategories()) << "made once";
}

}  // namespace
