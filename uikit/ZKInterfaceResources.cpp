#include "uikit/ZKInterfaceResources.h"

#include <QtCore/QHash>
#include <mutex>

namespace {
struct Registry {
  std::mutex mutex;
  QHash<QString, ZKInterfaceResources::Factory> factories;
};

Registry& registry() {
  static Registry instance;
  return instance;
}
}  // namespace

bool ZKInterfaceResources::registerForm(const QString& name, Factory factory) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.factories.insert(name, std::move(factory));
  return true;
}

bool ZKInterfaceResources::hasForm(const QString& name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  return r.factories.contains(name);
}

std::unique_ptr<ZKInterfaceForm> ZKInterfaceResources::makeForm(const QString& name) {
  Factory factory;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.factories.constFind(name);
    if (it == r.factories.constEnd()) return nullptr;
    factory = it.value();
  }
  return factory();
}

QStringList ZKInterfaceResources::formNames() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  QStringList names = r.factories.keys();
  names.sort();
  return names;
}
