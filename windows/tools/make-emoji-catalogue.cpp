// Writes the emoji catalogue that the group emoji picker reads: "Emojis.plist" (one dictionary per
// section with its "title" and its emoji joined by ","), "Emoji-Names.plist" (emoji to its name)
// and "Emoji-Search.plist" (emoji to the words it is found by). The source is the Unicode emoji test
// file of the system's Unicode data: its groups become the sections, its short names the names, and
// the names with their subgroup words the search words. Skin-tone variants and the "Component" group
// are left out, so that each emoji appears once, and so are joined sequences that the desktop cannot
// draw as one glyph. Fails (exit status 1) when the source cannot be read
// or yields no emoji, so that a build never ships an empty catalogue.
//
//   qv_make_emoji_catalogue <emoji-test.txt> <output folder>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/PropertyList.h"

namespace {

struct Section {
  std::string title;
  std::vector<std::string> emoji;
};

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool isSkinToneVariant(const std::string& codePoints) {
  for (const char* tone : {"1F3FB", "1F3FC", "1F3FD", "1F3FE", "1F3FF"})
    if (codePoints.find(tone) != std::string::npos) return true;
  return false;
}

std::string lower(std::string text) {
  for (auto& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool writePlist(const std::filesystem::path& path, const platform::PropertyList& value) {
  platform::Error error;
  const auto bytes = value.write(platform::PropertyList::Format::XML, &error);
  if (!bytes || !platform::files::writeAtomically(path, *bytes, &error)) {
    std::fprintf(stderr, "Could not write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <emoji-test.txt> <output folder>\n", argv[0]);
    return 1;
  }
  std::ifstream input(argv[1]);
  if (!input) {
    std::fprintf(stderr, "Could not read %s (is the Debian package unicode-data installed?)\n", argv[1]);
    return 1;
  }
  std::vector<Section> sections;
  platform::PropertyList::Dictionary names;
  platform::PropertyList::Dictionary search;
  std::string group;
  std::string subgroup;
  std::string line;
  std::size_t count = 0;
  while (std::getline(input, line)) {
    if (line.rfind("# group:", 0) == 0) {
      group = trim(line.substr(8));
      if (group != "Component") sections.push_back({group, {}});
      continue;
    }
    if (line.rfind("# subgroup:", 0) == 0) {
      subgroup = trim(line.substr(11));
      continue;
    }
    if (line.empty() || line[0] == '#' || group == "Component" || sections.empty()) continue;
    // "1F600 ; fully-qualified # 😀 E1.0 grinning face"
    const auto semicolon = line.find(';');
    const auto hash = line.find('#');
    if (semicolon == std::string::npos || hash == std::string::npos || hash < semicolon) continue;
    if (trim(line.substr(semicolon + 1, hash - semicolon - 1)) != "fully-qualified") continue;
    const std::string codePoints = line.substr(0, semicolon);
    if (isSkinToneVariant(codePoints)) continue;
    // Joined sequences with a presentation selector inside (a heart, a gender sign, a white flag
    // before the joiner) are drawn by the desktop's text shaping as separate glyphs: left out.
    if (codePoints.find("200D") != std::string::npos && codePoints.find("FE0F") != std::string::npos)
      continue;
    std::istringstream comment(line.substr(hash + 1));
    std::string emoji;
    std::string version;
    comment >> emoji >> version;
    std::string name;
    std::getline(comment, name);
    name = trim(name);
    if (emoji.empty() || emoji.find(',') != std::string::npos || name.empty()) continue;
    std::string words = subgroup;
    for (auto& c : words)
      if (c == '-') c = ' ';
    sections.back().emoji.push_back(emoji);
    names[emoji] = name;
    search[emoji] = lower(name + " " + words + " " + group);
    ++count;
  }
  if (count == 0) {
    std::fprintf(stderr, "No emoji found in %s\n", argv[1]);
    return 1;
  }
  platform::PropertyList::Array sectionList;
  for (const auto& section : sections) {
    if (section.emoji.empty()) continue;
    std::string data;
    for (const auto& emoji : section.emoji) data += (data.empty() ? "" : ",") + emoji;
    sectionList.push_back(platform::PropertyList::Dictionary{{"title", section.title}, {"data", data}});
  }
  const std::filesystem::path folder = argv[2];
  std::filesystem::create_directories(folder);
  if (!writePlist(folder / "Emojis.plist", sectionList) || !writePlist(folder / "Emoji-Names.plist", names) ||
      !writePlist(folder / "Emoji-Search.plist", search))
    return 1;
  std::printf("%zu emoji in %zu sections\n", count, sectionList.size());
  return 0;
}
