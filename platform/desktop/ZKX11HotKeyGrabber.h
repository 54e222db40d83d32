#pragma once

#include <QtCore/QAbstractNativeEventFilter>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/desktop/ZKHotKeyHelper.h"

struct xcb_connection_t;

// Hot keys as key grabs on the X server's root window, through the connection Qt's xcb platform
// uses. Each key is grabbed once for every state of Caps Lock and Num Lock, so that the locks do
// not change whether it fires; a native event filter on that connection turns the grabbed presses
// and releases into calls of the handler. GUI thread only.
class ZKX11HotKeyGrabber : public ZKHotKeyGrabber, public QAbstractNativeEventFilter {
 public:
  // The grabber of the running Qt application; nullptr when it does not run on X11.
  static std::shared_ptr<ZKX11HotKeyGrabber> applicationGrabber();
  ~ZKX11HotKeyGrabber() override;

  bool grab(std::uint64_t id, std::uint32_t keysym, std::uint16_t modifiers, platform::Error* error) override;
  void ungrab(std::uint64_t id) override;
  void setHandler(Handler handler) override { handler_ = std::move(handler); }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  ZKX11HotKeyGrabber(xcb_connection_t* connection, std::uint32_t root);
  struct Grab {
    std::uint8_t keycode;
    std::uint16_t modifiers;
  };
  // The key codes that make the keysym with the current keyboard map.
  std::vector<std::uint8_t> keycodesForKeysym(std::uint32_t keysym) const;
  // The modifier mask the keyboard map gives Num Lock (Mod2 when it cannot be read).
  std::uint16_t numLockMask() const;
  void release(const std::vector<Grab>& grabs);

  xcb_connection_t* connection_;
  std::uint32_t root_;
  std::uint16_t lockMasks_ = 0;
  std::map<std::uint64_t, std::vector<Grab>> grabs_;
  std::map<std::uint8_t, std::uint64_t> pressed_;  // key code -> id of a grab pressed, not yet released
  Handler handler_;
};
