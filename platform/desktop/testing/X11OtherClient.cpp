#include "platform/desktop/testing/X11OtherClient.h"

#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace qvtesting {

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

}  // namespace

X11OtherClient::X11OtherClient() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return;
  }
  connection_ = connection;
}

X11OtherClient::~X11OtherClient() {
  if (connection_) xcb_disconnect(connection_);
}

bool X11OtherClient::connected() const { return connection_ != nullptr; }

std::uint32_t X11OtherClient::root() const {
  return xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
}

std::vector<std::uint8_t> X11OtherClient::keycodes(std::uint32_t keysym, int columns) {
  std::vector<std::uint8_t> keycodes;
  if (!connection_) return keycodes;
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  Reply<xcb_get_keyboard_mapping_reply_t> reply(
      xcb_get_keyboard_mapping_reply(
          connection_,
          xcb_get_keyboard_mapping(connection_, setup->min_keycode, static_cast<std::uint8_t>(count)),
          nullptr),
      &std::free);
  if (!reply || reply->keysyms_per_keycode == 0) return keycodes;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int perKey = reply->keysyms_per_keycode;
  for (int key = 0; key < count; ++key) {
    for (int column = 0; column < std::min(perKey, columns); ++column) {
      if (keysyms[key * perKey + column] == keysym) {
        keycodes.push_back(static_cast<std::uint8_t>(setup->min_keycode + key));
        break;
      }
    }
  }
  return keycodes;
}

std::vector<std::uint8_t> X11OtherClient::keycodesFor(std::uint32_t keysym) { return keycodes(keysym, 2); }

std::uint8_t X11OtherClient::keycodeFor(std::uint32_t keysym) {
  const auto plain = keycodes(keysym, 1);
  return plain.empty() ? 0 : plain.front();
}

bool X11OtherClient::grab(std::uint8_t keycode, std::uint16_t modifiers) {
  if (!connection_) return false;
  Reply<xcb_generic_error_t> error(
      xcb_request_check(connection_, xcb_grab_key_checked(connection_, 1, root(), modifiers, keycode,
                                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
      &std::free);
  return error == nullptr;
}

std::uint16_t X11OtherClient::numLockMask() {
  const std::vector<std::uint8_t> numLock = keycodesFor(XK_Num_Lock);
  Reply<xcb_get_modifier_mapping_reply_t> reply(
      xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr),
      &std::free);
  if (!reply || numLock.empty()) return XCB_MOD_MASK_2;
  const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
  const int perModifier = reply->keycodes_per_modifier;
  for (int modifier = 0; modifier < 8; ++modifier) {
    for (int i = 0; i < perModifier; ++i) {
      if (std::find(numLock.begin(), numLock.end(), keycodes[modifier * perModifier + i]) != numLock.end())
        return static_cast<std::uint16_t>(1 << modifier);
    }
  }
  return XCB_MOD_MASK_2;
}

X11OtherClient::Trial X11OtherClient::tryGrab(std::uint32_t keysym, std::uint16_t modifiers) {
  Trial trial;
  if (!connection_) return trial;
  const std::uint16_t numLock = numLockMask();
  const std::uint16_t locks[] = {0, XCB_MOD_MASK_LOCK, numLock,
                                 static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLock)};
  for (std::uint8_t keycode : keycodesFor(keysym)) {
    for (std::uint16_t lock : locks) {
      const auto mask = static_cast<std::uint16_t>(modifiers | lock);
      ++trial.tried;
      if (grab(keycode, mask)) {
        xcb_ungrab_key(connection_, keycode, root(), mask);
      } else {
        ++trial.refused;
      }
    }
  }
  xcb_flush(connection_);
  return trial;
}

}  // namespace qvtesting
