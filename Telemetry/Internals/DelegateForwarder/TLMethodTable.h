#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Method tables that stand in for a dynamic object runtime where the SDK needs one: a delegate
// forwarder replaces or adds a class's methods at run time and keeps the replaced ones callable.
// An object whose calls go through its class's table (TLObject::perform) can be decorated that way.

// One call: the selector, its arguments and the value it returns.
struct TLInvocation {
  std::string selector;
  std::vector<std::any> arguments;
  std::any returnValue;
  // The object the call was made on (not owned).
  void* receiver = nullptr;
};

// An implementation; compared by identity, so a replaced one can be recognised and kept.
using TLImplementation = std::shared_ptr<const std::function<void(TLInvocation&)>>;
TLImplementation TLMakeImplementation(std::function<void(TLInvocation&)> body);

// A class: its own methods by selector, its superclass, and whether its instances answer
// selectors they have no method for (by forwarding them).
class TLClass {
 public:
  explicit TLClass(std::string name, TLClass* superclass = nullptr, bool forwardsOtherSelectors = false)
      : name_(std::move(name)), superclass_(superclass), forwards_(forwardsOtherSelectors) {}
  TLClass(const TLClass&) = delete;
  TLClass& operator=(const TLClass&) = delete;

  const std::string& name() const { return name_; }
  // The class's own method or the nearest inherited one; null when none.
  TLImplementation methodForSelector(const std::string& selector) const;
  // A method of its own or inherited, or forwarding.
  bool instancesRespondToSelector(const std::string& selector) const;
  // Replaces the method where it is defined (so every class inheriting it is affected); answers
  // the replaced implementation, null when the class has no such method (nothing changes then).
  TLImplementation setImplementation(const std::string& selector, TLImplementation implementation);
  // Adds a method of the class's own; false when it already has one.
  bool addMethod(const std::string& selector, TLImplementation implementation);

 private:
  TLClass* definingClass(const std::string& selector);

  const std::string name_;
  TLClass* const superclass_;
  const bool forwards_;
  mutable std::mutex mutex_;
  std::map<std::string, TLImplementation> methods_;
};

// An object whose calls go through its class's method table.
class TLObject {
 public:
  virtual ~TLObject() = default;
  virtual TLClass& objectClass() const = 0;
  bool respondsToSelector(const std::string& selector) const {
    return objectClass().instancesRespondToSelector(selector);
  }
  // Runs the method of the invocation's selector with this object as receiver; false when the class
  // has none.
  bool perform(TLInvocation& invocation);
};
