#include "testing/Sandbox.h"

#include <stdlib.h>

#include <fstream>
#include <mutex>
#include <stdexcept>

#include "platform/Log.h"

namespace qvtesting {

namespace fs = std::filesystem;

namespace {
const char* const kVariables[] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                                  "TMPDIR"};
}

void SandboxTest::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "qv-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  for (const char* name : kVariables) {
    const char* old = std::getenv(name);
    savedEnvironment_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  const std::pair<const char*, const char*> layout[] = {{"XDG_DATA_HOME", "data"},
                                                        {"XDG_CONFIG_HOME", "config"},
                                                        {"XDG_CACHE_HOME", "cache"},
                                                        {"XDG_RUNTIME_DIR", "runtime"},
                                                        {"TMPDIR", "tmp"}};
  for (const auto& [name, folder] : layout) {
    fs::create_directories(root_ / folder);
    fs::permissions(root_ / folder, fs::perms::owner_all, fs::perm_options::replace);
    setenv(name, (root_ / folder).c_str(), 1);
  }
  mainQueue_ = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue_);
}

void SandboxTest::TearDown() {
  // Let work that is still queued see a live main queue before it goes away.
  mainQueue_->runFor(platform::Seconds(0.01));
  platform::MainQueue::install(nullptr);
  mainQueue_.reset();
  for (const auto& [name, value] : savedEnvironment_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::error_code ec;
  fs::remove_all(root_, ec);
}

bool SandboxTest::runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  return mainQueue_->runUntil(predicate, platform::Seconds(timeoutSeconds));
}

void SandboxTest::runFor(double seconds) { mainQueue_->runFor(platform::Seconds(seconds)); }

fs::path SandboxTest::writeFile(const fs::path& relative, const std::string& content) {
  fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
  return path;
}

bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  auto queue = std::dynamic_pointer_cast<platform::AsioMainQueue>(platform::MainQueue::shared());
  if (!queue) throw std::logic_error("runUntil needs an AsioMainQueue installed");
  return queue->runUntil(predicate, platform::Seconds(timeoutSeconds));
}

struct LogCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

LogCapture::LogCapture() : state_(std::make_unique<State>()) {
  platform::setLogSink(
      [](std::string_view line, void* context) {
        auto* state = static_cast<State*>(context);
        std::lock_guard lock(state->mutex);
        state->lines.emplace_back(line);
      },
      state_.get());
}

LogCapture::~LogCapture() { platform::setLogSink(nullptr, nullptr); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

bool LogCapture::contains(const std::string& text) const {
  std::lock_guard lock(state_->mutex);
  for (const auto& line : state_->lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace qvtesting
