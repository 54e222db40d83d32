#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Error.h"
#include "platform/KeyCombo.h"

// What registers a key with the desktop and reports its presses: the X server's key grabs in the
// application, a fake in tests. Keys arrive as X keysyms and X modifier masks.
class ZKHotKeyGrabber {
 public:
  // Called with the id a key was grabbed under, on the GUI thread.
  using Handler = std::function<void(std::uint64_t id, bool pressed)>;

  virtual ~ZKHotKeyGrabber() = default;
  // Grabs the key with exactly these modifiers (whatever the state of Caps Lock and Num Lock);
  // false, with the error, when it cannot be had (another program holds it, no key makes the
  // symbol).
  virtual bool grab(std::uint64_t id, std::uint32_t keysym, std::uint16_t modifiers,
                    platform::Error* error) = 0;
  virtual void ungrab(std::uint64_t id) = 0;
  virtual void setHandler(Handler handler) = 0;
};

// System-wide hot keys: registers key combinations in the design's codes (see _KeyCombo) and calls
// the pressed and released blocks with the id of the combination the user typed. The codes are
// translated to X keysyms and modifier masks through one table.
class ZKHotKeyHelper {
 public:
  using Block = std::function<void(std::uint64_t id)>;
  static constexpr std::uint64_t kInvalidID = ~std::uint64_t(0);

  // The application's helper, over the X server the GUI runs on (one that refuses every key when
  // the GUI runs elsewhere). Made on first use, on the GUI thread.
  static ZKHotKeyHelper& sharedHelper();
  explicit ZKHotKeyHelper(std::shared_ptr<ZKHotKeyGrabber> grabber);
  // Unregisters every hot key.
  ~ZKHotKeyHelper();
  ZKHotKeyHelper(const ZKHotKeyHelper&) = delete;
  ZKHotKeyHelper& operator=(const ZKHotKeyHelper&) = delete;

  // The id (from 1 up, one more for each success), or kInvalidID when nothing was registered: an
  // empty combination, a key code of no known key (logged), or a key the desktop refused (logged,
  // with the error).
  std::uint64_t registerHotKey(_KeyCombo combo, platform::Error* error = nullptr);
  // Forgets the hot key; an unknown id does nothing.
  void unregisterHotkeyWithID(std::uint64_t id);

  void setPressedBlock(Block block) { pressedBlock_ = std::move(block); }
  void setReleasedBlock(Block block) { releasedBlock_ = std::move(block); }
  void hotkeyWasPressedWithID(std::uint64_t id);
  void hotkeyWasReleasedWithID(std::uint64_t id);

  // The classic modifier mask of the flags: Command 0x100, Shift 0x200, Option 0x800, Control
  // 0x1000; other bits are dropped.
  static std::uint32_t translateModifierFlags(std::uint64_t flags);
  // The X modifier mask of the flags: Command the Super key (Mod4), Option Alt (Mod1), Control,
  // Shift; other bits are dropped.
  static std::uint16_t x11ModifierMask(std::uint64_t flags);
  // The X keysym of a design key code; nullopt for a code of no known key.
  static std::optional<std::uint32_t> keysymForKeyCode(std::int64_t code);

 private:
  std::shared_ptr<ZKHotKeyGrabber> grabber_;
  std::map<std::uint64_t, _KeyCombo> hotKeys_;
  Block pressedBlock_;
  Block releasedBlock_;
};
