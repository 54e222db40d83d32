// The dashboard receiving results: 300 modules in 20 groups, a run thread setting 100 results per
// second for 10 s (each result a new text and colour), the outline shown in a window. Prints the GUI
// thread's processor time as a share of one core and the longest piece of GUI-thread work (one event
// with everything it sets off: a bridge signal, a timer, a repaint), which is what holds a frame back.
// Target: under 25 % of one core, no frame over 16 ms.
// Usage: qv_bench_dashboard_live [seconds] [results per second] [light|dark]   (offscreen unless told)
#include <time.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/QVDashboardModuleManager.h"
#include "platform/desktop/QtMainQueue.h"
#include "shell/QVUserDefaults.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardServices.h"
#include "windows/QVDashboardViewController.h"

namespace {

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The application that times the delivery of each event on the GUI thread.
class TimedApplication : public QApplication {
 public:
  using QApplication::QApplication;
  std::vector<double>* timing = nullptr;
  double worst = 0;
  std::string worstWhat;

  bool notify(QObject* receiver, QEvent* event) override {
    if (!timing || depth_ > 0) {
      ++depth_;
      const bool result = QApplication::notify(receiver, event);
      --depth_;
      return result;
    }
    // Read before delivery: the event may delete its receiver.
    const char* className = receiver->metaObject()->className();
    const int type = int(event->type());
    QElapsedTimer clock;
    clock.start();
    ++depth_;
    const bool result = QApplication::notify(receiver, event);
    --depth_;
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    timing->push_back(ms);
    if (ms > worst) {
      worst = ms;
      worstWhat = std::string(className) + " event " + std::to_string(type);
    }
    return result;
  }

 private:
  int depth_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Files of the run go to a folder of its own.
  char folder[] = "/tmp/qv-bench-dashboard-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"})
    ::setenv(name, folder, 1);
  TimedApplication app(argc, argv);
  platform::QtMainQueue::install();
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 10.0;
  const int rate = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  const bool dark = argc > 3 && std::string(argv[3]) == "dark";
  ZKThemeManager::sharedManager().changeTheme(dark ? QStringLiteral("DDDarkTheme")
                                                   : QStringLiteral("DDLightTheme"));
  QVUserDefaults::setStandardUserDefaults(
      QVUserDefaults::make(platform::SettingsStore::inMemoryStore(), nullptr));

  auto manager = QVDashboardModuleManager::make();
  if (!manager->configure()) return 1;
  manager->updateGroups({});
  std::vector<QVDashboardModule::Pointer> modules;
  const auto package = std::string(QV_ENGINE_FIXTURES) + "/packages/Minimal.quorvanemodule";
  for (int g = 0; g < 20; ++g) {
    auto group = QVDashboardGroup::groupWithName("Group " + std::to_string(g + 1));
    for (int m = 0; m < 15; ++m) {
      auto module = QVDashboardModule::moduleWithPath(package);
      module->setName("Module " + std::to_string(g + 1) + "." + std::to_string(m + 1));
      module->setLastResult(std::make_shared<QVModuleResult>(true, platform::Date::now(), "0", std::nullopt));
      group->addModule(module, false);
      modules.push_back(module);
    }
    manager->addGroup(group);
  }
  QVDashboardServices services;
  services.manager = manager;
  services.runModule = [](const QVDashboardModule::Pointer&) {};
  QVDashboardServices::setCurrent(std::move(services));

  auto* controller = ZKViewController::controller<QVDashboardViewController>();
  QWidget* view = controller->view();
  view->resize(450, view->height());
  view->show();
  // Settle: the first layout and paint are not part of the figures.
  for (int i = 0; i < 20; ++i) QApplication::processEvents();

  // Frames: every piece of work the GUI thread does at once (an event with everything it sets off:
  // a bridge signal, a timer, a repaint of the window), timed at the outermost delivery.
  std::vector<double> frames;
  frames.reserve(100000);
  app.timing = &frames;
  int repaints = 0;
  struct PaintCounter : QObject {
    int* count;
    explicit PaintCounter(int* c) : count(c) {}
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++*count;
      return false;
    }
  } counter(&repaints);
  controller->outlineView()->viewport()->installEventFilter(&counter);

  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  const double cpuStart = threadSeconds();
  QElapsedTimer wall;
  wall.start();
  std::thread run([&] {
    std::mt19937 random(42);
    std::uniform_int_distribution<size_t> pick(0, modules.size() - 1);
    const auto step = std::chrono::nanoseconds(1'000'000'000 / rate);
    auto next = std::chrono::steady_clock::now();
    const char* colors[] = {"#D0021B", "#417505", "#4A90E2", "#F5A623"};
    while (!stop) {
      const auto& module = modules[pick(random)];
      nlohmann::json options = {{"color", colors[sent % 4]}};
      module->setLastResult(std::make_shared<QVModuleResult>(
          true, platform::Date::now(), std::to_string(sent.load() * 7 % 1000) + " units",
          QVModuleResultOptions::optionsWithDictionary(options)));
      ++sent;
      next += step;
      std::this_thread::sleep_until(next);
    }
  });
  QEventLoop loop;
  QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
  stop = true;
  run.join();
  const double cpu = threadSeconds() - cpuStart;
  const double elapsed = double(wall.nsecsElapsed()) / 1e9;
  app.timing = nullptr;
  std::sort(frames.begin(), frames.end());
  const double worst = frames.empty() ? 0 : frames.back();
  const double p99 = frames.empty() ? 0 : frames[frames.size() * 99 / 100];
  std::printf(
      "dashboard of %zu modules in 20 groups (%s), %d results sent in %.1f s (%.0f per second):\n"
      "  GUI thread CPU %.1f %% of one core (target < 25 %%): %s\n"
      "  events %zu, p99 %.2f ms, worst %.2f ms (target: none over 16 ms): %s\n"
      "  outline repaints %d; the longest: %s\n",
      modules.size(), dark ? "dark" : "light", sent.load(), elapsed, sent.load() / elapsed,
      100.0 * cpu / elapsed, cpu / elapsed < 0.25 ? "met" : "NOT met", frames.size(), p99, worst,
      worst <= 16.0 ? "met" : "NOT met", repaints, app.worstWhat.c_str());
  delete controller;
  QVDashboardServices::setCurrent({});
  return 0;
}
