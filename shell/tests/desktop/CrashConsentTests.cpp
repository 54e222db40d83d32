// The crash-report consent alert the application gives the store helper: its texts and buttons, and
// each answer reaching the crash service as its value.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/desktop/testing/GuiTest.h"
#include "shell/QVTelemetryStart.h"
#include "shell/ZKStoreHelper.h"
#include "uikit/ZKScriptedAlertPresenter.h"

namespace {

class CrashConsentTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    presenter = std::make_shared<ZKScriptedAlertPresenter>();
    ZKAlertPresenter::setShared(presenter);
    ZKStoreHelper::sharedHelper()->setConfirmationSink([this](int value) { confirmations.push_back(value); });
    QVInstallCrashConsentAlert();
  }
  void TearDown() override {
    ZKStoreHelper::sharedHelper()->setCrashConsentAlert(nullptr);
    ZKStoreHelper::sharedHelper()->setConfirmationSink(nullptr);
    ZKAlertPresenter::setShared(nullptr);
    GuiTest::TearDown();
  }

  std::shared_ptr<ZKScriptedAlertPresenter> presenter;
  std::vector<int> confirmations;
};

TEST_F(CrashConsentTest, EachAnswerReachesTheCrashServiceAsItsValue) {
  const struct {
    ZKModalResponse response;
    std::vector<int> passed;
  } cases[] = {
      {ZKAlertFirstButtonReturn, {2}},   // "Always Send"
      {ZKAlertSecondButtonReturn, {1}},  // "Send"
      {ZKAlertThirdButtonReturn, {0}},   // "Don't Send"
      {999, {}},                         // anything else leaves the reports waiting
  };
  for (const auto& c : cases) {
    confirmations.clear();
    presenter->script({{c.response}});
    EXPECT_TRUE(ZKStoreHelper::sharedHelper()->promptUserForCrashHandlingConfirmation());
    EXPECT_EQ(confirmations, c.passed) << c.response;
  }
  ASSERT_EQ(presenter->presented().size(), 4u);
  const auto& alert = *presenter->presented().front()->alert;
  EXPECT_EQ(alert.alertStyle, ZKAlert::Style::Warning);
  EXPECT_TRUE(alert.messageText.endsWith(QStringLiteral(" encountered a problem and crashed")));
  EXPECT_EQ(
      alert.informativeText,
      QStringLiteral("Would you like to send an anonymous crash report so that we can fix this issue?"));
  EXPECT_EQ(alert.buttonTitles, (QStringList{QStringLiteral("Always Send"), QStringLiteral("Send"),
                                             QStringLiteral("Don't Send")}));
}

}  // namespace
