#pragma once

#include <QtCore/QString>

#include "uikit/ZKModuleViewController.h"

namespace Ui {
class WIAboutModule;
}

// The "About" pane: the application's name, version and copyright line with the current year, the
// credits document and the maker's pages.
class WIAboutModule : public ZKModuleViewController {
  Q_OBJECT

 public:
  static constexpr const char* kSupportURL = "https://quorvane.example/support";
  static constexpr const char* kSocialURL = "https://social.example/quorvane";
  static constexpr const char* kSecondSocialURL = "https://microblog.example/quorvane";
  static constexpr const char* kMakerURL = "https://zorvik.example";

  explicit WIAboutModule(QObject* parent = nullptr);
  ~WIAboutModule() override;

  // The application's name as the bundle gives it.
  static QString bundleName();
  // The credits document among the resources ("Docs/Credits.rtf"); empty when it is missing.
  static QString creditsPath();
  // The year of today's date in the Gregorian calendar.
  static int year();
  // Every "CURRENT_YEAR" in the text replaced by the year.
  static QString textWithCurrentYear(const QString& text, int year);

  bool moduleIsResizable() const override { return false; }
  Ui::WIAboutModule* form() const;

  void awakeFromNib() override;
  void setAppNameAndVersion();
  void setCopyright();

  // Actions.
  void openCredits();
  void openURL(const QString& address);
  void faqButtonPressed() { openURL(QString::fromLatin1(kSupportURL)); }
  void fanButtonPressed() { openURL(QString::fromLatin1(kSocialURL)); }
  void twitterButtonPressed() { openURL(QString::fromLatin1(kSecondSocialURL)); }
  void zorvikButtonPressed() { openURL(QString::fromLatin1(kMakerURL)); }
};

// A welcome pane with nothing of its own beyond its form; the preferences window does not list it.
class WIIntroModule : public ZKModuleViewController {
  Q_OBJECT

 public:
  explicit WIIntroModule(QObject* parent = nullptr);
  bool moduleIsResizable() const override { return false; }
};
