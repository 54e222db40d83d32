#pragma once

// Where the application looks for its updates. The feed is read from
//   <QVUpdateFeedHost>/v0.1/public/updates/apps/<application telemetry secret as 8-4-4-4-12>
// An empty host turns update checks off: no check runs and the menu offers none.
inline constexpr const char* QVUpdateFeedHost = "";
// The page that explains how to install a new version (the system's package manager does).
inline constexpr const char* QVUpdateDownloadPage = "https://quorvane.app/dashboard/download";
// The maker's support request page, opened by "send feedback".
inline constexpr const char* QVFeedbackPage = "https://quorvane.app/support/request";
