// Help documents: the RTF converter on small documents and on bad input, the module help tab with each
// kind of README, the rule that keeps links inside the package, and the module-writing guide.
#include <QtGui/QImage>
#include <QtGui/QScreen>
#include <QtGui/QTextCursor>
#include <QtGui/QTextDocument>
#include <QtTest/QTest>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollBar>
#include <algorithm>
#include <chrono>

#include "platform/desktop/QtText.h"
#include "testing/TreePaths.h"
#include "windows/QVHelpBrowser.h"
#include "windows/QVHelpWindowController.h"
#include "windows/QVModuleHelpViewController.h"
#include "windows/QVRTFConverter.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

std::string html(std::string_view rtf) { return QVRTFConverter::htmlFromRTF(rtf); }

// The text a text browser shows for the converted HTML.
QString shownText(std::string_view rtf) {
  QTextDocument document;
  document.setHtml(QString::fromStdString(html(rtf)));
  return document.toPlainText();
}

TEST(RTFConverterTest, SmallDocumentsBecomeTheirHTML) {
  struct Case {
    const char* name;
    const char* rtf;
    std::vector<const char*> contains;
  };
  const std::vector<Case> cases = {
      {"paragraphs",
       R"({\rtf1\ansi Hello\par World\par})",
       {"<p style=\"margin:0\">Hello</p>", ">World</p>"}},
      {"blank line", R"({\rtf1 A\par\par B})", {">A</p><p style=\"margin:0\">&nbsp;</p>"}},
      {"line break and tab",
       R"({\rtf1 A\line B\tab C})",
       {"A<br>B\xE2\x80\x83"
        "C"}},
      {"bold", R"({\rtf1 {\b Bold} plain})", {"<span style=\"font-weight:bold;\">Bold</span> plain"}},
      {"italic and underline",
       R"({\rtf1 {\i I}{\ul U}{\ul\ulnone N}})",
       {"font-style:italic;\">I</span>", "text-decoration:underline;\">U</span>", ">N</p>"}},
      {"switching off", R"({\rtf1 \b on\b0 off})", {"bold;\">on</span>off"}},
      {"group ends its format", R"({\rtf1 {\b in} out})", {"in</span> out"}},
      {"font size in half points",
       R"({\rtf1 \fs36 Big \fs21 Odd})",
       {"font-size:18pt;\">Big ", "font-size:10.5pt;\">Odd"}},
      {"colour table",
       R"({\rtf1{\colortbl;\red255\green0\blue0;\red0\green128\blue255;}\cf1 Red \cf2 Blue \cf0 Auto})",
       {"color:#ff0000;\">Red ", "color:#0080ff;\">Blue ", "</span>Auto"}},
      {"colour outside the table", R"({\rtf1{\colortbl;\red1\green2\blue3;}\cf9 X})", {">X</p>"}},
      {"plain resets", R"({\rtf1 \b\i X\plain Y})", {"</span>Y"}},
      {"link",
       R"({\rtf1 {\field{\*\fldinst{HYPERLINK "https://example.org/a?b=1&c=2"}}{\fldrslt{\ul Site}}}})",
       {"<a href=\"https://example.org/a?b=1&amp;c=2\"><span "
        "style=\"text-decoration:underline;\">Site</span></a>"}},
      {"field that is not a link", R"({\rtf1 {\field{\*\fldinst{PAGE}}{\fldrslt 3}}})", {">3</p>"}},
      {"escaped characters",
       R"({\rtf1 \\ \{ \} a\~b})",
       {"\\ { } a\xC2\xA0"
        "b"}},
      {"code page escapes", R"({\rtf1 caf\'e9 \'93q\'94})", {"caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D"}},
      {"unicode with fallback", R"({\rtf1 \u8364? \uc2\u233 xx!})", {"\xE2\x82\xAC \xC3\xA9!"}},
      {"unicode fallback as escape", R"({\rtf1 \u233\'e9 done})", {"\xC3\xA9 done"}},
      {"surrogate pair", R"({\rtf1 \u-10179?\u-8704?})", {"\xF0\x9F\x98\x80"}},
      {"lone surrogate", R"({\rtf1 \u-10179? x})", {"\xEF\xBF\xBD x"}},
      {"named characters",
       R"({\rtf1 \emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote})",
       {"\xE2\x80\x94\xE2\x80\x93\xE2\x80\xA2\xE2\x80\x98\xE2\x80\x99\xE2\x80\x9C\xE2\x80\x9D"}},
      {"markup in the text is text",
       R"({\rtf1 <script>alert("x")</script> & co})",
       {"&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; co"}},
      {"unknown words are skipped", R"({\rtf1 \foo123 \barbaz-4 text\qux})", {">text</p>"}},
  };
  for (const auto& c : cases) {
    const std::string out = html(c.rtf);
    for (const char* expected : c.contains)
      EXPECT_NE(out.find(expected), std::string::npos) << c.name << ": " << out;
    EXPECT_EQ(out.rfind("<html><body>", 0), 0u) << c.name;
  }
}

TEST(RTFConverterTest, DestinationsThatShowNothingAreLeftOut) {
  const char* rtf =
      R"({\rtf1\ansi{\fonttbl\f0\fswiss Helvetica;}{\stylesheet{\s1 Heading;}}{\info{\title Secret title}})"
      R"({\*\generator Writer;}{\*\unknowndestination hidden {\b nested}}{\pict\pngblip 89504e47}Shown})";
  EXPECT_EQ(shownText(rtf).trimmed(), QStringLiteral("Shown"));
}

TEST(RTFConverterTest, BadInputConvertsWhatItCanInBoundedTimeAndMemory) {
  std::string deep = "{\\rtf1 start";
  for (int i = 0; i < 200000; ++i) deep += "{\\b ";
  deep += "deep";
  std::string unbalanced = "{\\rtf1 a}}}}}} b";
  std::string manyFields = "{\\rtf1 ";
  for (int i = 0; i < 50000; ++i) manyFields += "{\\field{\\*\\fldinst{HYPERLINK \"x\"}}{\\fldrslt ";
  struct Case {
    const char* name;
    std::string rtf;
    QString shown;
  };
  const std::vector<Case> cases = {
      {"truncated inside a group", "{\\rtf1 {\\b bold", QStringLiteral("bold")},
      {"truncated escape", "{\\rtf1 text \\'", QStringLiteral("text ")},
      {"truncated word", "{\\rtf1 text \\u", QStringLiteral("text ")},
      {"truncated colour table", "{\\rtf1{\\colortbl;\\red255", QString()},
      {"huge bin length", "{\\rtf1 before\\bin999999999999 after}", QStringLiteral("before")},
      {"bin skips its bytes", "{\\rtf1 a\\bin3 {}x c}", QStringLiteral("a c")},
      {"negative bin", "{\\rtf1 a\\bin-5 b}", QStringLiteral("ab")},
      {"very deep nesting", deep, QStringLiteral("startdeep")},
      {"more closing than opening braces", unbalanced, QStringLiteral("a b")},
      {"huge parameter", "{\\rtf1 \\fs99999999999999999999 big}", QStringLiteral("big")},
      {"many open fields", manyFields, QString()},
      {"no RTF at all", std::string("\0\x01\xff\xfe plain", 10), QString::fromUtf8("\u00FF\u00FE plain")},
  };
  for (const auto& c : cases) {
    const std::string out = html(c.rtf);
    EXPECT_LE(out.size(), QVRTFConverter::kMaximumOutputBytes + 4096) << c.name;
    EXPECT_EQ(out.substr(out.size() - 14), "</body></html>") << c.name;
    QTextDocument document;
    document.setHtml(QString::fromStdString(out));
    const QString text = document.toPlainText();
    if (!c.shown.isNull()) {
      EXPECT_EQ(text.trimmed(), c.shown.trimmed()) << c.name;
    }
  }
}

class HelpTest : public WindowsTest {
 protected:
  QVHelpBrowser* helpView(const QVDashboardModule::Pointer& module) {
    controller_ = QVModuleHelpViewController::controllerWithModule(module);
    controller_->view()->resize(560, 360);
    return controller_->textView();
  }
  void TearDown() override {
    delete controller_;
    WindowsTest::TearDown();
  }

  // Clicks the link whose text is `text` as a person would.
  static void clickLink(QVHelpBrowser* browser, const QString& text) {
    browser->window()->show();
    QCoreApplication::processEvents();
    QTextCursor found = browser->document()->find(text);
    ASSERT_FALSE(found.isNull()) << text.toStdString();
    QTextCursor middle(browser->document());
    middle.setPosition(found.selectionStart() + 1);
    const QPoint at = browser->cursorRect(middle).center();
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  }

  QVModuleHelpViewController* controller_ = nullptr;
};

TEST_F(HelpTest, EachKindOfReadmeShows) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    QString shown;
  };
  const std::vector<Case> cases = {
      {"text", {{"README.txt", "Plain help\nsecond line"}}, QStringLiteral("Plain help\nsecond line")},
      {"text that is not UTF-8", {{"README.txt", "caf\xE9"}}, QStringLiteral("<Missing Help Text>")},
      {"rich text", {{"README.rtf", R"({\rtf1 {\b Rich} help})"}}, QStringLiteral("Rich help")},
      {"rich text bundle",
       {{"README.rtfd/TXT.rtf", R"({\rtf1 Bundle help})"}},
       QStringLiteral("Bundle help")},
      {"page",
       {{"README.html", "<html><body><h1>Page help</h1></body></html>"}},
       QStringLiteral("Page help")},
      {"no readme", {}, QString()},
  };
  int n = 0;
  for (const auto& c : cases) {
    auto module = makeModule("Help" + std::to_string(++n), nlohmann::json::object(), c.files);
    ASSERT_TRUE(module);
    auto* browser = helpView(module);
    ASSERT_TRUE(browser) << c.name;
    EXPECT_EQ(browser->toPlainText().trimmed(), c.shown) << c.name;
    delete controller_;
    controller_ = nullptr;
  }
}

TEST_F(HelpTest, ADocumentOverEightMegabytesIsRefusedWithAMessage) {
  const std::string big(static_cast<std::size_t>(QVHelpBrowser::kMaximumDocumentBytes) + 1, 'x');
  for (const char* file : {"README.txt", "README.html", "README.rtf"}) {
    auto module = makeModule(std::string("Big") + file[7], nlohmann::json::object(), {{file, big}});
    auto* browser = helpView(module);
    EXPECT_EQ(browser->toPlainText(), QString::fromUtf8(QVHelpBrowser::kTooLargeText)) << file;
    delete controller_;
    controller_ = nullptr;
  }
}

TEST_F(HelpTest, LinksStayInsideThePackageOrOpenInTheBrowser) {
  write(root() / "outside.html", "<html><body>Outside secret</body></html>");
  write(root() / "packages" / "secret.html", "<html><body>Neighbour secret</body></html>");
  const std::string page =
      "<html><body><p><a href=\"https://example.org/docs\">Web</a></p>"
      "<p><a href=\"other.html\">Other</a></p>"
      "<p><a href=\"../secret.html\">Up</a></p>"
      "<p><a href=\"sub/../../../outside.html\">Far</a></p>"
      "<p><a href=\"" +
      (root() / "outside.html").string() +
      "\">Absolute</a></p>"
      "<p><a href=\"file://" +
      (root() / "outside.html").string() +
      "\">FileURL</a></p>"
      "<p><a href=\"link.html\">Linked</a></p>"
      "<p><a href=\"mailto:help@example.org\">Mail</a></p>"
      "<img src=\"../secret.html\"></body></html>";
  auto module = makeModule("Links", nlohmann::json::object(),
                           {{"README.html", page}, {"other.html", "<html><body>Other page</body></html>"}});
  fs::create_symlink(root() / "outside.html", fs::path(module->path()) / "link.html");
  auto* browser = helpView(module);
  const QUrl start = browser->source();
  std::vector<QUrl> refused;
  QObject::connect(browser, &QVHelpBrowser::linkRefused, browser,
                   [&](const QUrl& url) { refused.push_back(url); });

  clickLink(browser, QStringLiteral("Web"));
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0], QUrl(QStringLiteral("https://example.org/docs")));
  EXPECT_EQ(browser->source(), start) << "the help page stays where it was";

  for (const char* escape : {"Up", "Far", "Absolute", "FileURL", "Linked"}) {
    clickLink(browser, QString::fromUtf8(escape));
    EXPECT_EQ(browser->source(), start) << escape;
    EXPECT_FALSE(browser->toPlainText().contains(QStringLiteral("secret"))) << escape;
  }
  EXPECT_EQ(refused.size(), 5u);
  clickLink(browser, QStringLiteral("Mail"));
  ASSERT_EQ(desktop->openedURLs.size(), 2u);
  EXPECT_EQ(desktop->openedURLs[1].scheme(), QStringLiteral("mailto"));

  clickLink(browser, QStringLiteral("Other"));
  EXPECT_EQ(browser->toPlainText().trimmed(), QStringLiteral("Other page")) << "a local link loads in place";
  EXPECT_EQ(desktop->openedURLs.size(), 2u);
  // Resources are held to the package as well.
  EXPECT_FALSE(
      browser->loadResource(QTextDocument::HtmlResource, QUrl(QStringLiteral("../secret.html"))).isValid());
  EXPECT_FALSE(
      browser->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("https://example.org/a.png")))
          .isValid());
}

TEST_F(HelpTest, TheGuideLoadsFromTheResourcesAndSavesItsZipWhereTheUserChooses) {
  const fs::path resources = root() / "resources";
  write(resources / "Docs" / "README.html",
        "<html><body><h1>Writing Modules</h1><p><a href=\"Sample.zip\">Sample</a> "
        "<a href=\"https://example.org\">Site</a></p></body></html>");
  write(resources / "Docs" / "Sample.zip", "PK\x05\x06" + std::string(18, '\0'));
  QVEngineEnvironment::setResourceFolder(resources);
  auto* help = ZKWindowController::controller<QVHelpWindowController>();
  std::unique_ptr<QVHelpWindowController> owner(help);
  ASSERT_TRUE(help->window());
  EXPECT_TRUE(help->webView()->toPlainText().contains(QStringLiteral("Writing Modules")));

  std::vector<QString> suggested;
  QString answer = platform::toQString((root() / "Saved.zip").string());
  help->chooseDestination = [&](const QString& name) {
    suggested.push_back(name);
    return answer;
  };
  help->window()->resize(640, 480);
  clickLink(help->webView(), QStringLiteral("Sample"));
  ASSERT_EQ(suggested.size(), 1u);
  EXPECT_EQ(suggested[0], QStringLiteral("Sample.zip"));
  EXPECT_TRUE(fs::exists(root() / "Saved.zip"));
  // Never over an existing file; a cancelled choice saves nothing.
  write(root() / "Saved.zip", "mine");
  clickLink(help->webView(), QStringLiteral("Sample"));
  std::ifstream kept(root() / "Saved.zip");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "mine");
  answer.clear();
  EXPECT_FALSE(help->download(platform::toQString((resources / "Docs" / "Sample.zip").string())));

  clickLink(help->webView(), QStringLiteral("Site"));
  ASSERT_EQ(desktop->openedURLs.size(), 1u);

  bool completed = false;
  help->completionHandler = [&] { completed = true; };
  auto* close = help->window()->findChild<QPushButton*>(QStringLiteral("closeButton"));
  ASSERT_TRUE(close);
  close->click();
  EXPECT_TRUE(completed);
}

TEST_F(HelpTest, TheApplicationCarriesItsGuide) {
  QVEngineEnvironment::setResourceFolder(fs::path(QV_SOURCE_RESOURCES));
  std::unique_ptr<QVHelpWindowController> help(ZKWindowController::controller<QVHelpWindowController>());
  EXPECT_TRUE(help->webView()->toPlainText().contains(QStringLiteral("Writing Modules")));
  EXPECT_TRUE(help->webView()->toPlainText().contains(QStringLiteral("user_options")));
  help->window()->resize(640, 560);
  for (const char* theme : {"DDLightTheme", "DDDarkTheme"}) {
    useTheme(theme);
    qvtesting::saveGrab(help->window(), "edit-help", theme);
  }
  useTheme("DDLightTheme");
}

TEST_F(HelpTest, TheBrowserAsksForTheWidthOfWhatCannotWrap) {
  const QString codeLine =
      QStringLiteral("{\"type\": \"finished\", \"options\": {\"result\": \"12 °C\", \"success\": true}}");
  const QString paragraph =
      QStringLiteral("A module is a small script that runs at a fixed interval. ").repeated(12);
  QVHelpBrowser base;
  const int baseWidth = base.sizeHint().width();
  const int screenCap = base.screen()->availableGeometry().width() * 2 / 3;
  struct Case {
    const char* name;
    QString html;
    // The width the browser should at least ask for beyond its frame and scroll bar, and whether the
    // document then shows without scrolling sideways.
    bool widerThanBase;
    bool cappedByTheScreen;
  };
  const Case cases[] = {
      {"a short paragraph", QStringLiteral("<p>Short.</p>"), false, false},
      {"a long paragraph wraps", QStringLiteral("<p>%1</p>").arg(paragraph), false, false},
      {"a code line cannot wrap", QStringLiteral("<pre>%1</pre>").arg(codeLine.toHtmlEscaped()), true, false},
      {"a table squeezes into the room there is",
       QStringLiteral("<table><tr><td><code>user_options.minimumRefreshInterval.specialType</code></td>"
                      "<td>%1</td></tr></table>")
           .arg(paragraph),
       false, false},
      {"a code line wider than the screen allows",
       QStringLiteral("<pre>%1</pre>").arg(codeLine.repeated(6).toHtmlEscaped()), true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVHelpBrowser browser;
    browser.setHtml(c.html);
    const QSize hint = browser.sizeHint();
    EXPECT_GE(hint.width(), baseWidth);
    EXPECT_EQ(hint.width() > baseWidth, c.widerThanBase) << hint.width() << " against " << baseWidth;
    EXPECT_LE(hint.width(), std::max(baseWidth, screenCap));
    browser.resize(hint.width(), 300);
    browser.show();
    ASSERT_TRUE(runUntil([&] { return browser.isVisible(); }));
    runFor(0.05);
    EXPECT_EQ(browser.horizontalScrollBar()->isVisible(), c.cappedByTheScreen);
    // A new document asks afresh.
    browser.setHtml(QStringLiteral("<p>Short.</p>"));
    EXPECT_EQ(browser.sizeHint().width(), baseWidth);
  }
}

TEST_F(HelpTest, AnImageThatCannotShrinkCountsForTheWidth) {
  const fs::path package = root() / "packages" / "Pictured.quorvanemodule";
  fs::create_directories(package);
  QImage wide(400, 20, QImage::Format_RGB32);
  wide.fill(Qt::darkCyan);
  ASSERT_TRUE(wide.save(platform::toQString((package / "wide.png").string())));
  write(package / "README.html", "<html><body><p>A picture:</p><img src=\"wide.png\"></body></html>");
  QVHelpBrowser browser;
  browser.setPackageFolder(platform::toQString(package.string()));
  ASSERT_TRUE(browser.showDocument(platform::toQString((package / "README.html").string())));
  EXPECT_GE(browser.narrowestContentWidth(), 400);
  EXPECT_GE(browser.sizeHint().width(), 400);
}

}  // namespace
}  // namespace windowstest
