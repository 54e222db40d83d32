#include "platform/desktop/ZKHotKeyHelper.h"

#include <X11/keysym.h>

#include <array>
#include <atomic>
#include <iterator>

#include "platform/Log.h"
#include "platform/desktop/ZKX11HotKeyGrabber.h"

namespace {

// The design's modifier flags with their classic masks and X masks.
struct Modifier {
  std::uint64_t flag;
  std::uint32_t classicMask;
  std::uint16_t x11Mask;
};
constexpr std::array<Modifier, 4> kModifiers{{
    {1ull << 20, 0x100, 1 << 6},   // Command: the Super key (Mod4)
    {1ull << 18, 0x1000, 1 << 2},  // Control
    {1ull << 17, 0x200, 1 << 0},   // Shift
    {1ull << 19, 0x800, 1 << 3},   // Option: Alt (Mod1)
}};

// The design's virtual key codes (the positions of an ANSI keyboard) with their X keysyms.
struct Key {
  std::int64_t code;
  std::uint32_t keysym;
};
constexpr Key kKeys[] = {
    {0x00, XK_a},           {0x01, XK_s},         {0x02, XK_d},
    {0x03, XK_f},           {0x04, XK_h},         {0x05, XK_g},
    {0x06, XK_z},           {0x07, XK_x},         {0x08, XK_c},
    {0x09, XK_v},           {0x0B, XK_b},         {0x0C, XK_q},
    {0x0D, XK_w},           {0x0E, XK_e},         {0x0F, XK_r},
    {0x10, XK_y},           {0x11, XK_t},         {0x12, XK_1},
    {0x13, XK_2},           {0x14, XK_3},         {0x15, XK_4},
    {0x16, XK_6},           {0x17, XK_5},         {0x18, XK_equal},
    {0x19, XK_9},           {0x1A, XK_7},         {0x1B, XK_minus},
    {0x1C, XK_8},           {0x1D, XK_0},         {0x1E, XK_bracketright},
    {0x1F, XK_o},           {0x20, XK_u},         {0x21, XK_bracketleft},
    {0x22, XK_i},           {0x23, XK_p},         {0x24, XK_Return},
    {0x25, XK_l},           {0x26, XK_j},         {0x27, XK_apostrophe},
    {0x28, XK_k},           {0x29, XK_semicolon}, {0x2A, XK_backslash},
    {0x2B, XK_comma},       {0x2C, XK_slash},     {0x2D, XK_n},
    {0x2E, XK_m},           {0x2F, XK_period},    {0x30, XK_Tab},
    {0x31, XK_space},       {0x32, XK_grave},     {0x33, XK_BackSpace},
    {0x35, XK_Escape},      {0x40, XK_F17},       {0x41, XK_KP_Decimal},
    {0x43, XK_KP_Multiply}, {0x45, XK_KP_Add},    {0x47, XK_Clear},
    {0x4B, XK_KP_Divide},   {0x4C, XK_KP_Enter},  {0x4E, XK_KP_Subtract},
    {0x4F, XK_F18},         {0x50, XK_F19},       {0x51, XK_KP_Equal},
    {0x52, XK_KP_0},        {0x53, XK_KP_1},      {0x54, XK_KP_2},
    {0x55, XK_KP_3},        {0x56, XK_KP_4},      {0x57, XK_KP_5},
    {0x58, XK_KP_6},        {0x59, XK_KP_7},      {0x5A, XK_F20},
    {0x5B, XK_KP_8},        {0x5C, XK_KP_9},      {0x60, XK_F5},
    {0x61, XK_F6},          {0x62, XK_F7},        {0x63, XK_F3},
    {0x64, XK_F8},          {0x65, XK_F9},        {0x67, XK_F11},
    {0x69, XK_F13},         {0x6A, XK_F16},       {0x6B, XK_F14},
    {0x6D, XK_F10},         {0x6F, XK_F12},       {0x71, XK_F15},
    {0x72, XK_Help},        {0x73, XK_Home},      {0x74, XK_Prior},
    {0x75, XK_Delete},      {0x76, XK_F4},        {0x77, XK_End},
    {0x78, XK_F2},          {0x79, XK_Next},      {0x7A, XK_F1},
    {0x7B, XK_Left},        {0x7C, XK_Right},     {0x7D, XK_Down},
    {0x7E, XK_Up},
};

// Ids are counted for the process, as hot keys are the desktop's, not one helper's.
std::atomic<std::uint64_t> nextID{1};

}  // namespace

ZKHotKeyHelper::ZKHotKeyHelper(std::shared_ptr<ZKHotKeyGrabber> grabber) : grabber_(std::move(grabber)) {
  grabber_->setHandler([this](std::uint64_t id, bool pressed) {
    if (pressed) {
      hotkeyWasPressedWithID(id);
    } else {
      hotkeyWasReleasedWithID(id);
    }
  });
}

ZKHotKeyHelper::~ZKHotKeyHelper() {
  for (const auto& [id, combo] : hotKeys_) grabber_->ungrab(id);
  grabber_->setHandler(nullptr);
}

std::uint32_t ZKHotKeyHelper::translateModifierFlags(std::uint64_t flags) {
  std::uint32_t mask = 0;
  for (const auto& modifier : kModifiers) {
    if (flags & modifier.flag) mask |= modifier.classicMask;
  }
  return mask;
}

std::uint16_t ZKHotKeyHelper::x11ModifierMask(std::uint64_t flags) {
  std::uint16_t mask = 0;
  for (const auto& modifier : kModifiers) {
    if (flags & modifier.flag) mask |= modifier.x11Mask;
  }
  return mask;
}

std::optional<std::uint32_t> ZKHotKeyHelper::keysymForKeyCode(std::int64_t code) {
  for (const auto& key : kKeys) {
    if (key.code == code) return key.keysym;
  }
  return std::nullopt;
}

std::uint64_t ZKHotKeyHelper::registerHotKey(_KeyCombo combo, platform::Error* error) {
  if (combo.flags == 0 && combo.code == 0) return kInvalidID;
  auto keysym = keysymForKeyCode(combo.code);
  if (!keysym) {
    platform::log("Ignoring the hot key with the unknown key code {}", combo.code);
    platform::fail(error, platform::Error::make("ZKHotKeyErrorDomain", 1, "The hot key's key is not known."));
    return kInvalidID;
  }
  const std::uint64_t id = nextID.load();
  platform::Error refusal;
  if (!grabber_->grab(id, *keysym, x11ModifierMask(combo.flags), &refusal)) {
    platform::log("[DEBUG] Error registering hotkey: {}", refusal.description);
    platform::fail(error, std::move(refusal));
    return kInvalidID;
  }
  hotKeys_[id] = combo;
  nextID.fetch_add(1);
  return id;
}

void ZKHotKeyHelper::unregisterHotkeyWithID(std::uint64_t id) {
  if (hotKeys_.erase(id) == 0) return;
  grabber_->ungrab(id);
}

void ZKHotKeyHelper::hotkeyWasPressedWithID(std::uint64_t id) {
  if (pressedBlock_) pressedBlock_(id);
}

void ZKHotKeyHelper::hotkeyWasReleasedWithID(std::uint64_t id) {
  if (releasedBlock_) releasedBlock_(id);
}

namespace {

// Where the GUI does not run on X11 there are no key grabs: every hot key is refused, and said so.
class RefusingGrabber : public ZKHotKeyGrabber {
 public:
  bool grab(std::uint64_t, std::uint32_t, std::uint16_t, platform::Error* error) override {
    return platform::fail(
        error, platform::Error::make("ZKHotKeyErrorDomain", 4, "Global hot keys need the X11 desktop."));
  }
  void ungrab(std::uint64_t) override {}
  void setHandler(Handler) override {}
};

}  // namespace

ZKHotKeyHelper& ZKHotKeyHelper::sharedHelper() {
  // Lives as long as the process: the desktop keeps the grabs until the connection closes.
  static ZKHotKeyHelper* const helper = [] {
    std::shared_ptr<ZKHotKeyGrabber> grabber = ZKX11HotKeyGrabber::applicationGrabber();
    if (!grabber) grabber = std::make_shared<RefusingGrabber>();
    return new ZKHotKeyHelper(std::move(grabber));
  }();
  return *helper;
}
