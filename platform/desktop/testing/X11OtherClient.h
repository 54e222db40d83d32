#pragma once

#include <cstdint>
#include <vector>

struct xcb_connection_t;

namespace qvtesting {

// An X client of its own on the display the tests run on ($DISPLAY), standing for another program:
// what it may grab tells which keys the application holds. Its grabs end with it.
class X11OtherClient {
 public:
  X11OtherClient();
  ~X11OtherClient();
  X11OtherClient(const X11OtherClient&) = delete;
  X11OtherClient& operator=(const X11OtherClient&) = delete;

  // False when no X server could be reached.
  bool connected() const;
  // The key codes whose plain or shifted symbol is the keysym, with the current keyboard map.
  std::vector<std::uint8_t> keycodesFor(std::uint32_t keysym);
  // The first key code whose plain symbol is the keysym; 0 when none.
  std::uint8_t keycodeFor(std::uint32_t keysym);
  // Grabs the key code with exactly these modifiers on the root window and keeps it; false when the
  // server refused (another client holds it).
  bool grab(std::uint8_t keycode, std::uint16_t modifiers);

  // Tries to grab every key code that makes the keysym with the modifiers, with each state of Caps
  // Lock and Num Lock, as the application's hot keys are grabbed; what it got it lets go again.
  struct Trial {
    int refused = 0;  // grabs the server refused: another client holds them
    int tried = 0;
  };
  Trial tryGrab(std::uint32_t keysym, std::uint16_t modifiers);

 private:
  // The key codes whose symbol in one of the first columns (plain, shifted) is the keysym.
  std::vector<std::uint8_t> keycodes(std::uint32_t keysym, int columns);
  // The modifier mask the keyboard map gives Num Lock (Mod2 when it has none).
  std::uint16_t numLockMask();
  std::uint32_t root() const;

  xcb_connection_t* connection_ = nullptr;
};

}  // namespace qvtesting
