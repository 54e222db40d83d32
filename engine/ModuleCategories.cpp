#include "engine/ModuleCategories.h"

const std::vector<std::string>& availableCategories() {
  static const std::vector<std::string> categories = {
      "Business",          "Developer Tools", "Education", "Entertainment", "Finance",      "Fitness",
      "Lifestyle",         "Medical",         "Music",     "News",          "Productivity", "Reference",
      "Social Networking", "Sports",          "Travel",    "Utilities",     "Weather",
  };
  return categories;
}
