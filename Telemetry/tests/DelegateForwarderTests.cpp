#include <gtest/gtest.h>

#include "Telemetry/Internals/DelegateForwarder/TLAppDelegateForwarder.h"
#include "TelemetryTestSupport.h"
#include "testing/Sandbox.h"

namespace {

// An object of a given class.
class Object : public TLObject {
 public:
  explicit Object(TLClass& objectClass) : class_(objectClass) {}
  TLClass& objectClass() const override { return class_; }

 private:
  TLClass& class_;
};

// A forwarder with its own custom methods.
class TestForwarder : public TLDelegateForwarder {
 public:
  TestForwarder() {
    for (const char* selector : {"custom_a:", "custom_new:", "custom_new2:", "custom_old3:", "custom_x:"})
      methods_.addMethod(selector, TLMakeImplementation([](TLInvocation& i) { i.returnValue = 7; }));
  }
  TLClass methods_{"TestForwarder"};

 protected:
  TLClass& forwarderClass() override { return methods_; }
  std::recursive_mutex& classLock() override {
    static std::recursive_mutex lock;
    return lock;
  }
};

TLImplementation answer(int value) {
  return TLMakeImplementation([value](TLInvocation& i) { i.returnValue = value; });
}

int call(TLClass& objectClass, const std::string& selector) {
  Object object(objectClass);
  TLInvocation invocation{selector, {}, {}, nullptr};
  if (!object.perform(invocation)) return -1;
  return std::any_cast<int>(invocation.returnValue);
}

class DelegateForwarderTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    TLDelegateForwarder::resetTraceBuffer();
    TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  }
  // The texts logged at the flush, each with its level.
  std::vector<std::pair<TLLogLevel, std::string>> flushed() {
    const auto before = recorder.messages().size();
    TLDelegateForwarder::flushTraceBuffer();
    std::vector<std::pair<TLLogLevel, std::string>> out;
    auto messages = recorder.messages();
    for (auto i = before; i < messages.size(); ++i) out.emplace_back(messages[i].level, messages[i].text);
    return out;
  }
  tltesting::MessageRecorder recorder;
};

using Traces = std::vector<std::pair<TLLogLevel, std::string>>;

}  // namespace

TEST_F(DelegateForwarderTest, TracesWaitForTheFlushAndRunInOrder) {
  TLDelegateForwarder::addTraceBlock([] { TLLogDebug(kTLLogTag, "one"); });
  TLDelegateForwarder::addTraceBlock([] {
    TLLogDebug(kTLLogTag, "two");
    // A trace that adds a trace, and flushes again, while the flush holds the buffer's lock.
    TLDelegateForwarder::addTraceBlock([] { TLLogDebug(kTLLogTag, "added by two"); });
    TLDelegateForwarder::flushTraceBuffer();
  });
  TLDelegateForwarder::addTraceBlock([] { TLLogDebug(kTLLogTag, "three"); });
  EXPECT_TRUE(recorder.messages().empty());
  EXPECT_EQ(flushed(), (Traces{{TLLogLevelVerbose, "Start buffering traces."},
                               {TLLogLevelDebug, "one"},
                               {TLLogLevelDebug, "two"},
                               {TLLogLevelDebug, "three"},
                               {TLLogLevelDebug, "added by two"},
                               {TLLogLevelVerbose, "Stop buffering traces, flushed."}}));
  // Afterwards traces run at once, and a second flush does nothing.
  TLDelegateForwarder::addTraceBlock([] { TLLogDebug(kTLLogTag, "after"); });
  EXPECT_EQ(recorder.messages().back().text, "after");
  EXPECT_TRUE(flushed().empty());
}

TEST_F(DelegateForwarderTest, BootstrapReadsTheSwitchFromTheBundleInformation) {
  struct Case {
    const char* what;
    std::optional<std::string> value;  // the key's XML value; nullopt: no Info.plist at all
    bool enabled;
  };
  const Case cases[] = {
      {"no information", std::nullopt, true},
      {"key absent", "", true},
      {"true", "<key>TelemetryAppDelegateForwarderEnabled</key><true/>", true},
      {"false", "<key>TelemetryAppDelegateForwarderEnabled</key><false/>", false},
      {"text NO", "<key>TelemetryAppDelegateForwarderEnabled</key><string>NO</string>", false},
      {"number 1", "<key>TelemetryAppDelegateForwarderEnabled</key><integer>1</integer>", true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto folder = root() / ("bundle" + std::to_string(n++));
    std::filesystem::create_directories(folder);
    if (c.value)
      writeFile(folder / "Info.plist",
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + *c.value +
                    "<key>CFBundleName</key><string>Quorvane</string></dict></plist>\n");
    TLDelegateForwarder::resetTraceBuffer();
    TLAppDelegateForwarder::resetSharedInstance();
    TLTelemetryBootstrap(platform::Bundle(folder));
    auto forwarder = TLAppDelegateForwarder::sharedInstance();
    EXPECT_EQ(forwarder->isEnabled(), c.enabled);
    const std::string expected =
        c.enabled
            ? "Delegate forwarder for info.plist key 'TelemetryAppDelegateForwarderEnabled' enabled. It may "
              "use swizzling."
            : "Delegate forwarder for info.plist key 'TelemetryAppDelegateForwarderEnabled' disabled. It "
              "won't use swizzling.";
    EXPECT_EQ(flushed(), (Traces{{TLLogLevelVerbose, "Start buffering traces."},
                                 {TLLogLevelDebug, expected},
                                 {TLLogLevelVerbose, "Stop buffering traces, flushed."}}));
    // A disabled forwarder takes no listeners and records no selectors.
    TLClass listenerClass("Listener");
    auto listener = std::make_shared<Object>(listenerClass);
    forwarder->addDelegate(listener);
    EXPECT_EQ(forwarder->delegateCount(), c.enabled ? 1u : 0u);
    TestForwarder test;
    test.setEnabled(c.enabled);
    test.addDelegateSelectorToSwizzle("a:");
    EXPECT_EQ(test.selectorsToSwizzle().size(), c.enabled ? 1u : 0u);
  }
  // A reset leaves a usable, enabled forwarder without listeners.
  TLAppDelegateForwarder::resetSharedInstance();
  EXPECT_TRUE(TLAppDelegateForwarder::sharedInstance()->isEnabled());
  EXPECT_EQ(TLAppDelegateForwarder::sharedInstance()->delegateCount(), 0u);
}

TEST_F(DelegateForwarderTest, SwizzleOutcomesAndTheirTraces) {
  TestForwarder forwarder;
  forwarder.setDeprecatedSelectors({{"new2:", "old2:"}, {"new3:", "old3:"}});
  TLClass base("Base");
  TLClass delegate("Delegate", &base);
  TLClass sibling("Sibling", &base);
  TLClass forwarding("Forwarding", nullptr, true);
  auto original = answer(1);
  base.addMethod("a:", original);
  delegate.addMethod("old2:", answer(2));

  // An inherited method is replaced where it is defined: the sibling class changes too.
  EXPECT_EQ(forwarder.swizzleOriginalSelector("a:", "custom_a:", delegate), original);
  EXPECT_EQ(call(delegate, "a:"), 7);
  EXPECT_EQ(call(sibling, "a:"), 7);
  // A method the class lacks is added.
  EXPECT_EQ(forwarder.swizzleOriginalSelector("new:", "custom_new:", delegate), nullptr);
  EXPECT_EQ(call(delegate, "new:"), 7);
  EXPECT_EQ(call(sibling, "new:"), -1);
  // The class implements the deprecated form instead: nothing changes.
  EXPECT_EQ(forwarder.swizzleOriginalSelector("new2:", "custom_new2:", delegate), nullptr);
  EXPECT_EQ(call(delegate, "new2:"), -1);
  // The selector is itself a deprecated one: nothing changes, no trace.
  EXPECT_EQ(forwarder.swizzleOriginalSelector("old3:", "custom_old3:", delegate), nullptr);
  EXPECT_EQ(call(delegate, "old3:"), -1);
  // Instances that answer by forwarding: nothing changes.
  EXPECT_EQ(forwarder.swizzleOriginalSelector("x:", "custom_x:", forwarding), nullptr);
  EXPECT_EQ(call(forwarding, "x:"), -1);

  EXPECT_EQ(flushed(), (Traces{{TLLogLevelVerbose, "Start buffering traces."},
                               {TLLogLevelDebug, "Selector 'a:' of class 'Delegate' is swizzled."},
                               {TLLogLevelDebug, "Selector 'new:' of class 'Delegate' is swizzled."},
                               {TLLogLevelWarning,
                                "Cannot swizzle selector 'new2:' of class 'Delegate'. No implementation "
                                "found for this selector, though "
                                "an implementation of its deprecated API 'old2:' exists."},
                               {TLLogLevelError,
                                "Cannot swizzle selector 'x:' of class 'Forwarding'. You need to explicitly "
                                "call the Telemetry API "
                                "from your app delegate implementation."},
                               {TLLogLevelVerbose, "Stop buffering traces, flushed."}}));
}

TEST_F(DelegateForwarderTest, ReturnedValuesChainThroughTheListeners) {
  const std::string selector = "application:valueFor:returnedValue:";
  TLClass listenerClass("Listener");
  // Each listener answers ten times the value returned so far, plus its number.
  listenerClass.addMethod(selector, TLMakeImplementation([](TLInvocation& i) {
                            i.returnValue = std::any_cast<int>(i.arguments.back()) * 10 +
                                            std::any_cast<int>(i.arguments[0]);
                          }));
  TLClass silentClass("Silent");
  const std::pair<int, int> cases[] = {{0, 5}, {1, 51}, {2, 511}};
  for (const auto& [count, expected] : cases) {
    TestForwarder forwarder;
    std::vector<std::shared_ptr<TLObject>> listeners;
    // A listener that does not answer the selector is passed over.
    listeners.push_back(std::make_shared<Object>(silentClass));
    for (int i = 0; i < count; ++i) listeners.push_back(std::make_shared<Object>(listenerClass));
    for (const auto& listener : listeners) forwarder.addDelegate(listener);
    TLInvocation invocation{selector, {1, 5}, {}, nullptr};
    forwarder.forwardInvocation(invocation);
    EXPECT_EQ(std::any_cast<int>(invocation.returnValue), expected) << count << " listeners";
  }
  // Listeners are held weakly; a removed or released listener is not called.
  TestForwarder forwarder;
  auto kept = std::make_shared<Object>(listenerClass);
  auto removed = std::make_shared<Object>(listenerClass);
  forwarder.addDelegate(kept);
  forwarder.addDelegate(removed);
  forwarder.addDelegate(std::make_shared<Object>(listenerClass));
  forwarder.removeDelegate(removed);
  EXPECT_EQ(forwarder.delegateCount(), 1u);
  TLInvocation invocation{selector, {2, 3}, {}, nullptr};
  forwarder.forwardInvocation(invocation);
  EXPECT_EQ(std::any_cast<int>(invocation.returnValue), 32);
  // A "returnedValue:" selector without arguments has nothing to carry and changes nothing.
  TLInvocation bare{selector, {}, {}, nullptr};
  TLClass anyClass("Any");
  anyClass.addMethod(selector, TLMakeImplementation([](TLInvocation& i) { i.returnValue = 9; }));
  TestForwarder other;
  auto any = std::make_shared<Object>(anyClass);
  other.addDelegate(any);
  other.forwardInvocation(bare);
  EXPECT_EQ(std::any_cast<int>(bare.returnValue), 9);
}

TEST_F(DelegateForwarderTest, SetDelegateIsTakenOverOnceAndTheFirstDelegateSwizzled) {
  // What the desktop registers: the application object's own setDelegate:.
  std::vector<std::shared_ptr<TLObject>> installed;
  TLAppDelegateForwarder::applicationClass().addMethod(
      "setDelegate:", TLMakeImplementation([&](TLInvocation& i) {
        installed.push_back(std::any_cast<std::shared_ptr<TLObject>>(i.arguments.front()));
      }));
  // An SDK component's custom method for a delegate selector.
  TLAppDelegateForwarder::forwarderMethods().addMethod("custom_applicationDidBecomeActive:", answer(42));
  TLAppDelegateForwarder::resetSharedInstance();
  auto forwarder = TLAppDelegateForwarder::sharedInstance();
  forwarder->addDelegateSelectorToSwizzle("applicationDidBecomeActive:");

  TLClass first("FirstDelegate");
  auto original = answer(1);
  first.addMethod("applicationDidBecomeActive:", original);
  TLClass second("SecondDelegate");
  second.addMethod("applicationDidBecomeActive:", answer(2));
  Object application(TLAppDelegateForwarder::applicationClass());
  for (auto* delegateClass : {&first, &second}) {
    TLInvocation setDelegate{
        "setDelegate:", {std::shared_ptr<TLObject>(std::make_shared<Object>(*delegateClass))}, {}, nullptr};
    ASSERT_TRUE(application.perform(setDelegate));
  }
  // Both delegates are installed as usual; only the first one's class is swizzled.
  EXPECT_EQ(installed.size(), 2u);
  EXPECT_EQ(call(first, "applicationDidBecomeActive:"), 42);
  EXPECT_EQ(call(second, "applicationDidBecomeActive:"), 2);
  EXPECT_EQ(forwarder->originalImplementations().at("applicationDidBecomeActive:"), original);
  EXPECT_TRUE(forwarder->selectorsToSwizzle().empty());
  auto traces = flushed();
  EXPECT_NE(std::find(traces.begin(), traces.end(),
                      std::pair(TLLogLevelDebug,
                                std::string("Selector 'setDelegate:' of class 'QApplication' is swizzled."))),
            traces.end());
}
