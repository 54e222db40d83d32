#pragma once

// Posted on the default notification centre with the changed module, group or manager as the object
// (and as the sender) when a module or the group list changes.
inline constexpr const char* QVModuleDidChangeNotification = "QVModuleDidChange";
// Posted with the module as the object each time a module's last result is set, on the setting thread.
inline constexpr const char* QVModuleResultDidChangeNotification = "QVModuleResultDidChange";
