// The emoji catalogue: the generated resources (counts and known entries), rows of eight, lookups
// that may be missing, the random pick as the engine's emoji source (also from an empty catalogue),
// and the picker's search, rows and clicks, with grabs in both themes read for the theme's colours,
// the headers and the emoji drawn.
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QTableWidget>
#include <algorithm>
#include <set>

#include "engine/QVDashboardGroup.h"
#include "platform/PropertyList.h"
#include "testing/TreePaths.h"
#include "uikit/ZKButton.h"
#include "windows/QVEmojiPickerViewController.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

class EmojiPickerTest : public WindowsTest {
 protected:
  void TearDown() override {
    delete picker;
    QVEmojiSource::setShared(nullptr);
    WindowsTest::TearDown();
  }

  static void writePlist(const fs::path& path, const platform::PropertyList& value) {
    const auto bytes = value.write(platform::PropertyList::Format::XML);
    ASSERT_TRUE(bytes);
    write(path, std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  }

  // A catalogue of two sections: "Faces" with 17 emoji (the 4th without a name, the 5th without search
  // words) and "Things" with 2.
  std::shared_ptr<QVEmojiManager> smallCatalogue() {
    const fs::path folder = root() / "emoji-resources";
    std::vector<std::string> faces = {"😀",    "😃", "😄", "😁", "😆",    "😅", "🤣", "😂", "🙂",
                                      "🙃", "😉", "😊", "😇", "🥰", "😍", "🤩", "😘"};
    std::string data;
    platform::PropertyList::Dictionary names, search;
    for (std::size_t i = 0; i < faces.size(); ++i) {
      data += (i ? "," : "") + faces[i];
      if (i != 3) names[faces[i]] = "face " + std::to_string(i);
      if (i != 4) search[faces[i]] = i == 0 ? "grinning face Émotion" : "face";
    }
    names["🍎"] = "red apple";
    search["🍎"] = "red apple fruit";
    writePlist(folder / "Emojis.plist",
               platform::PropertyList::Array{
                   platform::PropertyList::Dictionary{{"title", "Faces"}, {"data", data}},
                   platform::PropertyList::Dictionary{{"title", "Things"}, {"data", "🍎,🔑"}}});
    writePlist(folder / "Emoji-Names.plist", names);
    writePlist(folder / "Emoji-Search.plist", search);
    return std::make_shared<QVEmojiManager>(platform::Bundle(folder));
  }

  QVEmojiPickerViewController* makePicker(std::shared_ptr<QVEmojiManager> manager) {
    delete picker;
    picker = QVEmojiPickerViewController::controllerWithManager(std::move(manager));
    picker->view()->resize(300, 320);
    return picker;
  }

  void search(const QString& text) { picker->searchField()->setText(text); }

  QVEmojiRowTableCellView* rowCell(int row) const {
    return qobject_cast<QVEmojiRowTableCellView*>(picker->tableView()->cellWidget(row, 0));
  }

  QVEmojiPickerViewController* picker = nullptr;
};

TEST_F(EmojiPickerTest, TheGeneratedCatalogueHoldsTheUnicodeEmojiWithNamesAndSearchWords) {
  const fs::path resources = QV_BUILD_RESOURCES;
  QVEmojiManager catalogue{platform::Bundle(resources)};
  std::vector<std::string> titles;
  for (const auto& entry : catalogue.dataArray())
    if (const auto* title = std::get_if<std::string>(&entry)) titles.push_back(*title);
  EXPECT_EQ(titles, (std::vector<std::string>{"Smileys & Emotion", "People & Body", "Animals & Nature",
                                              "Food & Drink", "Travel & Places", "Activities", "Objects",
                                              "Symbols", "Flags"}));
  // Unicode 15.0 has 3,655 fully-qualified emoji; one of each without its skin tones and components.
  EXPECT_GT(catalogue.allEmojisArray().size(), 1500u);
  EXPECT_LT(catalogue.allEmojisArray().size(), 2000u);
  std::set<std::string> seen;
  for (const auto& item : catalogue.allEmojisArray()) {
    ASSERT_TRUE(item.emoji && item.name && item.searchKeys);
    EXPECT_TRUE(seen.insert(*item.emoji).second) << *item.emoji;
    EXPECT_EQ(item.emoji->find("\xF0\x9F\x8F\xBB"), std::string::npos) << "skin tone: " << *item.name;
    // No joined sequence with a presentation selector inside (U+200D with U+FE0F).
    EXPECT_FALSE(item.emoji->find("\xE2\x80\x8D") != std::string::npos &&
                 item.emoji->find("\xEF\xB8\x8F") != std::string::npos)
        << *item.name;
  }
  struct Known {
    std::string emoji, name, word;
  };
  for (const auto& known : std::vector<Known>{{"😀", "grinning face", "smiling"},
                                              {"🍎", "red apple", "fruit"},
                                              {"👩‍💻", "woman technologist", "person"},
                                              {"👋", "waving hand", "hand"}}) {
    const auto found = std::find_if(catalogue.allEmojisArray().begin(), catalogue.allEmojisArray().end(),
                                    [&](const QVEmojiItem& item) { return item.emoji == known.emoji; });
    ASSERT_NE(found, catalogue.allEmojisArray().end()) << known.name;
    EXPECT_EQ(found->name, known.name);
    EXPECT_NE(found->searchKeys->find(known.word), std::string::npos) << *found->searchKeys;
  }
  EXPECT_EQ(catalogue.allEmojisArray().front().emoji, "😀");
}

TEST_F(EmojiPickerTest, SectionsAreCutIntoRowsOfEightAndMissingLookupsStayEmpty) {
  auto catalogue = smallCatalogue();
  std::vector<std::string> shape;
  for (const auto& entry : catalogue->dataArray()) {
    if (const auto* title = std::get_if<std::string>(&entry))
      shape.push_back(*title);
    else
      shape.push_back(std::to_string(std::get<QVEmojiManager::Row>(entry).size()));
  }
  EXPECT_EQ(shape, (std::vector<std::string>{"Faces", "8", "8", "1", "Things", "2"}));
  ASSERT_EQ(catalogue->allEmojisArray().size(), 19u);
  EXPECT_FALSE(catalogue->allEmojisArray()[3].name);
  EXPECT_FALSE(catalogue->allEmojisArray()[4].searchKeys);
  EXPECT_FALSE(catalogue->allEmojisArray()[18].name);
  EXPECT_NE(catalogue->allEmojisArray()[0].description().find("emoji=😀 name=face 0 searchKeys=grinning"),
            std::string::npos);
}

TEST_F(EmojiPickerTest, NewGroupsTakeARandomCatalogueEmojiAndAnEmptyCatalogueGivesNone) {
  auto catalogue = smallCatalogue();
  QVEmojiSource::setShared(catalogue);
  std::set<std::string> members;
  for (const auto& item : catalogue->allEmojisArray()) members.insert(*item.emoji);
  std::set<std::string> picked;
  for (int i = 0; i < 200; ++i) {
    const auto emoji = QVDashboardGroup::groupWithName("Work")->emoji();
    ASSERT_TRUE(emoji && members.count(*emoji)) << emoji.value_or("(none)");
    picked.insert(*emoji);
  }
  EXPECT_GT(picked.size(), 5u);

  auto empty = std::make_shared<QVEmojiManager>(platform::Bundle(root() / "no-resources"));
  EXPECT_TRUE(empty->dataArray().empty());
  EXPECT_EQ(empty->randomEmoji(), "");
  QVEmojiSource::setShared(empty);
  EXPECT_EQ(QVDashboardGroup::groupWithName("Home")->emoji().value_or(""), "");
}

TEST_F(EmojiPickerTest, SearchFoldsCaseAndDiacriticsAndShowsRowsWithoutHeaders) {
  makePicker(smallCatalogue());
  struct Case {
    QString text;
    int rows;
    int buttonsInFirstRow;
    bool headers;
  };
  for (const auto& c : std::vector<Case>{{"", 6, 0, true},
                                         {"   ", 6, 0, true},
                                         {"FACE", 2, 8, false},
                                         {"emotion", 1, 1, false},
                                         {"  Fruit ", 1, 1, false},
                                         {"nothing like it", 0, 0, false}}) {
    search(c.text);
    EXPECT_EQ(picker->tableView()->rowCount(), c.rows) << c.text.toStdString();
    EXPECT_EQ(picker->hasPredicate(), !c.headers) << c.text.toStdString();
    if (c.headers) {
      auto* header = qobject_cast<QLabel*>(picker->tableView()->cellWidget(0, 0));
      ASSERT_TRUE(header);
      EXPECT_EQ(header->text(), QStringLiteral("FACES"));
      EXPECT_EQ(picker->tableView()->rowHeight(0), 17);
    } else if (c.rows > 0) {
      auto* cell = rowCell(0);
      ASSERT_TRUE(cell);
      int shown = 0;
      for (auto* button : cell->buttonArray()) shown += button->isVisibleTo(cell) ? 1 : 0;
      EXPECT_EQ(shown, c.buttonsInFirstRow) << c.text.toStdString();
    }
  }
  // 16 faces have search words; the one without never matches.
  search("face");
  EXPECT_EQ(std::get<QVEmojiManager::Row>(picker->filteredDataArray()[1]).size(), 8u);
}

class EmojiPickerRecordingDelegate : public QVEmojiPickerDelegate {
 public:
  void emojiPickerDidSelectEmoji(QVEmojiPickerViewController* picker, const std::string& emoji) override {
    picks.emplace_back(picker, emoji);
  }
  std::vector<std::pair<QVEmojiPickerViewController*, std::string>> picks;
};

TEST_F(EmojiPickerTest, AClickTellsTheDelegateTheEmojiAndTheLastRowHidesItsEmptyButtons) {
  makePicker(smallCatalogue());
  picker->view()->show();
  auto* lastFaces = rowCell(3);
  ASSERT_TRUE(lastFaces);
  const auto& buttons = lastFaces->buttonArray();
  EXPECT_TRUE(buttons[0]->isVisibleTo(lastFaces));
  for (std::size_t i = 1; i < buttons.size(); ++i) EXPECT_FALSE(buttons[i]->isVisibleTo(lastFaces));
  EXPECT_EQ(buttons[0]->text(), QStringLiteral("😘"));
  EXPECT_EQ(buttons[0]->toolTip(), QStringLiteral("face 16"));
  EXPECT_EQ(rowCell(1)->buttonArray()[3]->toolTip(), QString());

  rowCell(1)->buttonArray()[2]->click();  // no delegate yet: nothing happens
  EmojiPickerRecordingDelegate delegate;
  picker->delegate = &delegate;
  rowCell(5)->buttonArray()[0]->click();
  ASSERT_EQ(delegate.picks.size(), 1u);
  EXPECT_EQ(delegate.picks[0].first, picker);
  EXPECT_EQ(delegate.picks[0].second, "🍎");
}

// Pixels that an emoji glyph brings and text never does: clearly coloured ones.
bool colourful(const QColor& c) { return c.hsvSaturationF() > 0.35f && c.valueF() > 0.25f; }

TEST_F(EmojiPickerTest, GrabsOfThePickerShowTheThemeTheHeadersAndTheEmoji) {
  for (const std::string theme : {"DDLightTheme", "DDDarkTheme"}) {
    SCOPED_TRACE(theme);
    useTheme(theme.c_str());
    makePicker(std::make_shared<QVEmojiManager>(platform::Bundle(QV_BUILD_RESOURCES)));
    picker->view()->show();
    // The picker is always in the light theme's colours, whatever the current theme.
    const QColor window = themeWindowColor("DDLightTheme");
    for (const QString& text : {QString(), QStringLiteral("heart")}) {
      SCOPED_TRACE(text.toStdString());
      search(text);
      runFor(0.05);
      QWidget* root = picker->view();
      const QImage image = grabImage(root);
      qvtesting::saveImage(image, "emoji-picker",
                           theme + (text.isEmpty() ? "-all" : "-" + text.toStdString()));
      auto* table = picker->tableView();
      ASSERT_GT(table->rowCount(), 1);

      // The theme's window colour around the controls and behind the rows.
      auto offWindow = [&](const std::vector<QColor>& samples) {
        return std::count_if(samples.begin(), samples.end(),
                             [&](const QColor& c) { return !sameColor(c, window); });
      };
      const auto around = backgroundSamples(image, root);
      EXPECT_EQ(offWindow(around), 0) << "of " << around.size();
      // Behind the rows: wherever neither an emoji button nor a header is drawn.
      QWidget* viewport = table->viewport();
      const QImage rows = grabImage(viewport);
      std::vector<QColor> behind;
      for (int y = 0; y < viewport->height(); y += 2)
        for (int x = 0; x < viewport->width(); x += 2) {
          QWidget* at = viewport->childAt(x, y);
          if (!at || qobject_cast<QVEmojiRowTableCellView*>(at))
            behind.push_back(
                rows.pixelColor(int(x * rows.devicePixelRatio()), int(y * rows.devicePixelRatio())));
        }
      ASSERT_GT(behind.size(), 100u);
      EXPECT_EQ(offWindow(behind), 0) << "of " << behind.size();

      // Without a search the first row is the first section's header, its title drawn.
      int firstEmojiRow = 0;
      if (text.isEmpty()) {
        auto* header = qobject_cast<QLabel*>(table->cellWidget(0, 0));
        ASSERT_TRUE(header);
        EXPECT_EQ(header->text(), QStringLiteral("SMILEYS & EMOTION"));
        const QRect area = rectInGrab(image, root, header);
        EXPECT_GT(countPixels(image, area, [&](const QColor& c) { return !sameColor(c, window, 40); }), 40)
            << "the header's title is not drawn";
        firstEmojiRow = 1;
      }
      // Every emoji of the first row of emoji is drawn, in colour.
      auto* cell = rowCell(firstEmojiRow);
      ASSERT_TRUE(cell);
      int checked = 0;
      for (auto* button : cell->buttonArray()) {
        if (!button->isVisible()) continue;
        ++checked;
        const QRect area = rectInGrab(image, root, button);
        const int coloured = countPixels(image, area, colourful);
        EXPECT_GT(coloured, 15) << button->text().toStdString() << " (" << button->toolTip().toStdString()
                                << ") is not drawn";
      }
      EXPECT_EQ(checked, 8);
    }
  }
}

}  // namespace
}  // namespace windowstest
