#pragma once

// The events the run queues follow, posted by the desktop (and by tests).

// Default centre, main thread, the window as object: the dashboard window has hidden / is showing.
inline constexpr const char* QVDockableWindowDidHideNotification = "DockableWindowDidHide";
inline constexpr const char* QVDockableWindowWillShowNotification = "DockableWindowWillShow";
// Default centre, main thread: the network's reachability changed. The object is the monitor, as a
// std::shared_ptr<QVNetworkReachability>.
inline constexpr const char* QVReachabilityChangedNotification = "kReachabilityChangedNotification";
// Workspace centre: the computer is about to sleep / has woken.
inline constexpr const char* QVWorkspaceWillSleepNotification = "NSWorkspaceWillSleepNotification";
inline constexpr const char* QVWorkspaceDidWakeNotification = "NSWorkspaceDidWakeNotification";
// Default centre, main thread: the application is terminating.
inline constexpr const char* QVApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";
