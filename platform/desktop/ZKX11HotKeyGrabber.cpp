#include "platform/desktop/ZKX11HotKeyGrabber.h"

#include <QtGui/qguiapplication_platform.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <QtGui/QGuiApplication>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

constexpr const char* kHotKeyErrorDomain = "ZKHotKeyErrorDomain";

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

std::shared_ptr<ZKX11HotKeyGrabber> ZKX11HotKeyGrabber::applicationGrabber() {
  auto* application = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* connection = application ? application->connection() : nullptr;
  if (!connection) return nullptr;
  const xcb_setup_t* setup = xcb_get_setup(connection);
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
  if (!screens.rem) return nullptr;
  auto grabber = std::shared_ptr<ZKX11HotKeyGrabber>(new ZKX11HotKeyGrabber(connection, screens.data->root));
  QCoreApplication::instance()->installNativeEventFilter(grabber.get());
  return grabber;
}

ZKX11HotKeyGrabber::ZKX11HotKeyGrabber(xcb_connection_t* connection, std::uint32_t root)
    : connection_(connection), root_(root) {
  lockMasks_ = static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLockMask());
}

ZKX11HotKeyGrabber::~ZKX11HotKeyGrabber() {
  if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
  for (const auto& [id, grabs] : grabs_) release(grabs);
  xcb_flush(connection_);
}

std::vector<std::uint8_t> ZKX11HotKeyGrabber::keycodesForKeysym(std::uint32_t keysym) const {
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  const int first = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;
  Reply<xcb_get_keyboard_mapping_reply_t> reply(
      xcb_get_keyboard_mapping_reply(
          connection_,
          xcb_get_keyboard_mapping(connection_, setup->min_keycode, static_cast<std::uint8_t>(count)),
          nullptr),
      &std::free);
  std::vector<std::uint8_t> keycodes;
  if (!reply || reply->keysyms_per_keycode == 0) return keycodes;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  const int perKey = reply->keysyms_per_keycode;
  for (int key = 0; key < count && (key + 1) * perKey <= length; ++key) {
    // Only the first two columns (plain and shifted) say which key this is.
    for (int column = 0; column < std::min(perKey, 2); ++column) {
      if (keysyms[key * perKey + column] == keysym) {
        keycodes.push_back(static_cast<std::uint8_t>(first + key));
        break;
      }
    }
  }
  return keycodes;
}

std::uint16_t ZKX11HotKeyGrabber::numLockMask() const {
  const std::vector<std::uint8_t> numLock = keycodesForKeysym(XK_Num_Lock);
  Reply<xcb_get_modifier_mapping_reply_t> reply(
      xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr),
      &std::free);
  if (!reply || numLock.empty()) return XCB_MOD_MASK_2;
  const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
  const int perModifier = reply->keycodes_per_modifier;
  if (xcb_get_modifier_mapping_keycodes_length(reply.get()) < 8 * perModifier) return XCB_MOD_MASK_2;
  for (int modifier = 0; modifier < 8; ++modifier) {
    for (int i = 0; i < perModifier; ++i) {
      for (std::uint8_t keycode : numLock) {
        if (keycodes[modifier * perModifier + i] == keycode) return static_cast<std::uint16_t>(1 << modifier);
      }
    }
  }
  return XCB_MOD_MASK_2;
}

bool ZKX11HotKeyGrabber::grab(std::uint64_t id, std::uint32_t keysym, std::uint16_t modifiers,
                              platform::Error* error) {
  const std::vector<std::uint8_t> keycodes = keycodesForKeysym(keysym);
  if (keycodes.empty()) {
    return platform::fail(error, platform::Error::make(kHotKeyErrorDomain, 2,
                                                       "No key of the keyboard makes the hot key's symbol."));
  }
  const std::uint16_t numLock = static_cast<std::uint16_t>(lockMasks_ & ~XCB_MOD_MASK_LOCK);
  const std::uint16_t variants[] = {0, XCB_MOD_MASK_LOCK, numLock,
                                    static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLock)};
  std::vector<Grab> grabs;
  std::vector<xcb_void_cookie_t> cookies;
  for (std::uint8_t keycode : keycodes) {
    for (std::uint16_t variant : variants) {
      const auto mask = static_cast<std::uint16_t>(modifiers | variant);
      grabs.push_back({keycode, mask});
      cookies.push_back(xcb_grab_key_checked(connection_, 1, root_, mask, keycode, XCB_GRAB_MODE_ASYNC,
                                             XCB_GRAB_MODE_ASYNC));
    }
  }
  bool refused = false;
  for (auto cookie : cookies) {
    if (Reply<xcb_generic_error_t> failure(xcb_request_check(connection_, cookie), &std::free); failure)
      refused = true;
  }
  if (refused) {
    // All or nothing: a key that fires only with Caps Lock off would be worse than none.
    release(grabs);
    xcb_flush(connection_);
    return platform::fail(
        error, platform::Error::make(kHotKeyErrorDomain, 3, "Another program already uses this hot key."));
  }
  grabs_[id] = std::move(grabs);
  return true;
}

void ZKX11HotKeyGrabber::release(const std::vector<Grab>& grabs) {
  for (const auto& grab : grabs) xcb_ungrab_key(connection_, grab.keycode, root_, grab.modifiers);
}

void ZKX11HotKeyGrabber::ungrab(std::uint64_t id) {
  auto found = grabs_.find(id);
  if (found == grabs_.end()) return;
  release(found->second);
  grabs_.erase(found);
  std::erase_if(pressed_, [id](const auto& entry) { return entry.second == id; });
  xcb_flush(connection_);
}

bool ZKX11HotKeyGrabber::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || !message) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  const std::uint8_t type = event->response_type & 0x7F;
  if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
  // Press and release events share one layout.
  const auto* key = static_cast<const xcb_key_press_event_t*>(message);
  if (key->event != root_) return false;
  std::optional<std::uint64_t> fired;
  if (type == XCB_KEY_RELEASE) {
    // The press made the grab active: its release belongs to it whatever modifiers are still held
    // (people let go of the modifiers first as often as not).
    auto active = pressed_.find(key->detail);
    if (active == pressed_.end()) return false;
    fired = active->second;
    pressed_.erase(active);
  } else {
    const auto state = static_cast<std::uint16_t>(key->state & ~lockMasks_ & 0xFF);
    for (const auto& [id, grabs] : grabs_) {
      for (const auto& grab : grabs) {
        if (grab.keycode == key->detail &&
            static_cast<std::uint16_t>(grab.modifiers & ~lockMasks_) == state) {
          fired = id;
        }
      }
    }
    if (fired) pressed_[key->detail] = *fired;
  }
  if (!fired) return false;
  // Called after the search: the handler may register or unregister hot keys.
  if (handler_) handler_(*fired, type == XCB_KEY_PRESS);
  return true;
}
