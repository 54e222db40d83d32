#include <gtest/gtest.h>
#include <signal.h>

#include <QtCore/QDate>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>

#include "PreferencesTestSupport.h"
#include "app/QVRelaunch.h"
#include "app/WIAboutModule.h"
#include "platform/Bundle.h"
#include "ui_WIAboutModule.h"

namespace {

class AboutPaneTest : public preferencestesting::PreferencesTest {};

TEST_F(AboutPaneTest, ShowsNameVersionAndThisYearsCopyright) {
  openWindow(PMMainWindowController::AboutRow);
  auto* about = pane<WIAboutModule>(PMMainWindowController::AboutRow);
  ASSERT_NE(about, nullptr);
  auto* form = about->form();
  EXPECT_EQ(form->appNameLabel->text(), QStringLiteral("Quorvane Dashboard"));
  EXPECT_EQ(form->appVersionLabel->text(),
            QStringLiteral("Version ") + QString::fromStdString(platform::Bundle::shortVersionString()));
  const QString year = QString::number(QDate::currentDate().year());
  EXPECT_EQ(form->copyrightLabel->text(),
            QStringLiteral("Copyright © %1 Zorvik. All rights reserved.").arg(year));

  struct Case {
    const char* text;
    const char* expected;
  };
  for (const Case& c : {Case{"No year here", "No year here"}, Case{"CURRENT_YEAR", "2031"},
                        Case{"© CURRENT_YEAR–CURRENT_YEAR", "© 2031–2031"}, Case{"", ""}}) {
    EXPECT_EQ(WIAboutModule::textWithCurrentYear(QString::fromUtf8(c.text), 2031),
              QString::fromUtf8(c.expected));
  }
}

TEST_F(AboutPaneTest, OpensTheCreditsAndTheMakersPages) {
  openWindow(PMMainWindowController::AboutRow);
  auto* form = pane<WIAboutModule>(PMMainWindowController::AboutRow)->form();
  for (auto* button :
       {form->creditsButton, form->faqButton, form->fanButton, form->twitterButton, form->zorvikButton})
    button->click();
  ASSERT_EQ(desktop->openedURLs.size(), 5u);
  const QUrl credits = desktop->openedURLs[0];
  ASSERT_TRUE(credits.isLocalFile());
  EXPECT_TRUE(credits.toLocalFile().endsWith(QStringLiteral("Docs/Credits.rtf")));
  EXPECT_TRUE(QFileInfo(credits.toLocalFile()).isFile());
  EXPECT_EQ(desktop->openedURLs[1].toString(), QString::fromLatin1(WIAboutModule::kSupportURL));
  EXPECT_EQ(desktop->openedURLs[2].toString(), QString::fromLatin1(WIAboutModule::kSocialURL));
  EXPECT_EQ(desktop->openedURLs[3].toString(), QString::fromLatin1(WIAboutModule::kSecondSocialURL));
  EXPECT_EQ(desktop->openedURLs[4].toString(), QString::fromLatin1(WIAboutModule::kMakerURL));
}

TEST_F(AboutPaneTest, TheWelcomePaneComesFromItsForm) {
  auto* intro = ZKViewController::controller<WIIntroModule>();
  EXPECT_EQ(intro->moduleTitle(), QStringLiteral("Welcome"));
  EXPECT_FALSE(intro->moduleIsResizable());
  ASSERT_TRUE(intro->zk_viewHasLoaded());
  intro->view()->resize(intro->view()->size());
  qvtesting::saveGrab(intro->view(), "preferences", "welcome");
  delete intro;
}

TEST(QVRelaunchTest, TheNewProcessLearnsWhichOneToWaitFor) {
  EXPECT_EQ(QVRelaunch::relaunchArguments("/opt/qv/quorvane-dashboard", 4242),
            (std::vector<std::string>{"/opt/qv/quorvane-dashboard", "--wait-for-pid", "4242"}));
  struct Case {
    std::vector<const char*> argv;
    pid_t pid;
  };
  const std::vector<Case> cases{{{"qv", "--wait-for-pid", "4242"}, 4242},
                                {{"qv", "-psn", "--wait-for-pid", "17"}, 17},
                                {{"qv"}, 0},
                                {{"qv", "--wait-for-pid"}, 0},
                                {{"qv", "--wait-for-pid", "abc"}, 0},
                                {{"qv", "--wait-for-pid", "-5"}, 0},
                                {{"qv", "--wait-for-pid", "12x"}, 0},
                                {{"qv", "--wait-for-pid", "99999999999"}, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(QVRelaunch::pidToWaitFor(static_cast<int>(c.argv.size()), c.argv.data()), c.pid)
        << c.argv.size();
}

TEST(QVRelaunchTest, WaitsForARealProcessToEnd) {
  QProcess shortLived;
  shortLived.start(QStringLiteral("sleep"), {QStringLiteral("0.3")});
  ASSERT_TRUE(shortLived.waitForStarted());
  EXPECT_TRUE(QVRelaunch::waitForProcessToEnd(static_cast<pid_t>(shortLived.processId()), 10));
  shortLived.waitForFinished();

  QProcess longLived;
  longLived.start(QStringLiteral("sleep"), {QStringLiteral("30")});
  ASSERT_TRUE(longLived.waitForStarted());
  EXPECT_FALSE(QVRelaunch::waitForProcessToEnd(static_cast<pid_t>(longLived.processId()), 0.2));
  longLived.kill();
  longLived.waitForFinished();

  EXPECT_TRUE(QVRelaunch::waitForProcessToEnd(0, 1));
}

}  // namespace
