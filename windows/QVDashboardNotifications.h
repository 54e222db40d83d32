#pragma once

// Requests of the dashboard, posted on the default centre.
// The module editor should open: object the module (std::shared_ptr<QVDashboardModule>), or none.
inline constexpr const char* QVOpenEditorNotification = "Notification.openEditor";
// The preferences window should open on its general pane; no object.
inline constexpr const char* QVOpenPreferencesNotification = "Notification.openPreferences";
// The header asks for the settings menu at the pointer; no object.
inline constexpr const char* QVShowSettingsMenuNotification = "QVShowSettingsMenu";
// The outline changed its own height; the module list measures again and resizes the window.
inline constexpr const char* QVResizeWindowNotification = "QVResizeWindowNotification";
// A group's modules changed outside its editor: object the group (std::shared_ptr<QVDashboardGroup>).
inline constexpr const char* QVReloadDataForGroupNotification = "ReloadDataForGroup";
