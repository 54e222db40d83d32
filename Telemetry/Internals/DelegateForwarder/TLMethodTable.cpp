#include "Telemetry/Internals/DelegateForwarder/TLMethodTable.h"

TLImplementation TLMakeImplementation(std::function<void(TLInvocation&)> body) {
  return std::make_shared<const std::function<void(TLInvocation&)>>(std::move(body));
}

TLImplementation TLClass::methodForSelector(const std::string& selector) const {
  for (const TLClass* c = this; c; c = c->superclass_) {
    std::lock_guard lock(c->mutex_);
    auto it = c->methods_.find(selector);
    if (it != c->methods_.end()) return it->second;
  }
  return nullptr;
}

bool TLClass::instancesRespondToSelector(const std::string& selector) const {
  if (methodForSelector(selector)) return true;
  for (const TLClass* c = this; c; c = c->superclass_)
    if (c->forwards_) return true;
  return false;
}

TLClass* TLClass::definingClass(const std::string& selector) {
  for (TLClass* c = this; c; c = c->superclass_) {
    std::lock_guard lock(c->mutex_);
    if (c->methods_.count(selector)) return c;
  }
  return nullptr;
}

TLImplementation TLClass::setImplementation(const std::string& selector, TLImplementation implementation) {
  TLClass* owner = definingClass(selector);
  if (!owner) return nullptr;
  std::lock_guard lock(owner->mutex_);
  auto& slot = owner->methods_[selector];
  auto previous = std::move(slot);
  slot = std::move(implementation);
  return previous;
}

bool TLClass::addMethod(const std::string& selector, TLImplementation implementation) {
  std::lock_guard lock(mutex_);
  return methods_.emplace(selector, std::move(implementation)).second;
}

bool TLObject::perform(TLInvocation& invocation) {
  auto implementation = objectClass().methodForSelector(invocation.selector);
  if (!implementation) return false;
  invocation.receiver = this;
  (*implementation)(invocation);
  return true;
}
