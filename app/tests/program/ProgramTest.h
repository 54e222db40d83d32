#pragma once

// The assembled program as a user meets it: the real quorvane-dashboard executable started with a
// fresh home on a desktop of its own (scripts/xvfb-run-desktop: Xvfb, openbox, a tray and a private
// D-Bus session), driven with xdotool and read back through what a user sees or keeps: its windows
// and their X properties, its files, its exit status, its D-Bus calls and screenshots. The tests skip
// themselves outside such a desktop.
#include <gtest/gtest.h>

#include <QtCore/QPoint>
#include <QtCore/QProcess>
#include <QtCore/QRect>
#include <QtCore/QStringList>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/SettingsStore.h"
#include "platform/desktop/testing/GuiTest.h"

class QWidget;

namespace qvprogram {

class ProgramTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // ---- The program ----
  // Starts quorvane-dashboard with the arguments; its standard output and error go to a log file
  // (programOutput).
  void launch(const QStringList& arguments = {});
  // Starts the program and waits until its first start is through: the dashboard shown and a
  // module's result in output.json. Fails the test when either does not come.
  void launchAndWaitForDashboard();
  // Waits for the program to end; its exit status, or nothing when it still runs after the timeout.
  std::optional<int> waitForExit(double timeoutSeconds = 10.0);
  bool running() const { return program_.state() != QProcess::NotRunning; }
  qint64 pid() const { return program_.processId(); }
  // All the program has written to its standard output and error so far.
  std::string programOutput() const;
  // The file that collects the program's standard output and error (programOutput).
  std::filesystem::path programOutputFile() const { return logFile(); }
  // Runs a second start of the program with the arguments and waits for it to end; its exit status.
  std::optional<int> runSecondStart(const QStringList& arguments, double timeoutSeconds = 20.0);

  // ---- Its files ----
  std::filesystem::path supportFolder() const;
  std::optional<nlohmann::json> output() const;
  bool someModuleSucceeded() const;
  // The program's settings file as it is now (read afresh each call). Set values and synchronize()
  // before a start to start the program with them.
  static std::shared_ptr<platform::SettingsStore> settingsFile();

  // ---- Its windows ----
  // The program's windows (X window ids, decimal), visible ones only unless `all`.
  QStringList windows(bool visibleOnly = true) const;
  // The program's visible window with exactly this title, or an empty string.
  QString windowNamed(const QString& title) const;
  // Waits for windowNamed(title) to be non-empty, then until the window holds still on the screen;
  // the window or an empty string.
  QString waitForWindow(const QString& title, double timeoutSeconds = 10.0);
  // The dashboard window when shown, or an empty string.
  QString dashboardWindow() const;
  // A visible window of the program that is transient for another of its visible windows (an alert
  // or a sheet over that window), or an empty string; with `owner`, only one over that window.
  QString alertWindow(const QString& owner = {}) const;
  // Visible windows of the program larger than a tray icon.
  int visibleWindowCount() const;
  // The window's geometry on the screen (its inside, without the window manager's frame).
  QRect windowGeometry(const QString& id) const;
  // The window's X property as xprop prints it (the part after "=" or ":"), empty when not set.
  QString property(const QString& id, const QString& name) const;
  // The window that has the input focus (xdotool getwindowfocus), or an empty string.
  QString focusedWindow() const;
  // The tray icon's window geometry on the screen, or an empty rectangle.
  QRect trayIcon() const;

  // ---- Driving it ----
  // Clicks the tray icon with the button (1 left, 3 right), holding the modifier keys ("ctrl").
  void clickTrayIcon(int button = 1, const QStringList& modifiers = {});
  void clickAt(QPoint point, int button = 1);
  // Clicks the point given relative to the window's inside.
  void clickInWindow(const QString& id, QPoint offset, int button = 1);
  // Sends keys (xdotool key names such as "Return", "ctrl+q") to the focused window.
  void key(const QString& keys);
  void typeText(const QString& text);
  // Activates the window (raises and focuses it through the window manager).
  void activate(const QString& id);
  // Runs xdotool with the arguments; its output.
  static QString xdotool(const QStringList& arguments);

  // Where a child widget (found by its object name) sits inside its window: the centre of the widget
  // with that object name, in the window's coordinates. The window is one the test laid out itself in
  // its own process, from the same classes, on the same screen and style as the program's.
  static QPoint centreOf(QWidget* window, const char* objectName);

  // ---- What it tells assistive technologies ----
  // Has the program (started after this) publish its windows' accessible objects on the desktop's
  // accessibility bus (AT-SPI), as for a screen reader; the bus is started now, with its files in
  // the sandbox. False when the bus cannot be had.
  bool enableAccessibility();
  // The names and descriptions of every accessible object of the program (window titles, labels'
  // texts, buttons, fields' names, table cells), as a screen reader reads them; empty when it does
  // not answer within the timeout.
  QStringList accessibleNames(double timeoutSeconds = 5.0) const;

  // ---- What it says on the session bus ----
  // Starts recording the session bus's messages matching the rules (dbus-monitor's syntax).
  void startBusMonitor(const QStringList& rules);
  std::string busLog() const;

  // ---- Laying windows out in this process ----
  // Points this process's engine at folders of its own below root() (the program's files stay
  // untouched), an in-memory settings store, the program's resources and a run handler that runs
  // nothing; leaveMeasuringFolders() puts everything back.
  void useMeasuringFolders();
  void leaveMeasuringFolders();

  // Keeps the whole screen as <build>/test-artefacts/program/<suite>-<name>.png.
  void screenshot(const std::string& name);

 private:
  std::filesystem::path logFile() const { return root() / "program.log"; }
  QProcess program_;
  QProcess busMonitor_;
  QByteArray measuredDataHome_;
  QByteArray measuredCacheHome_;
  QString accessibilityBus_;
};

}  // namespace qvprogram
