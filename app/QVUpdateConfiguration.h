#pragma once

// Where the application looks for its updates. The feed is read from
//   <QVUpdateFeedHost>/v0.1/public/updates/apps/<application secret as 8-4-4-4-12>
// An empty host turns update checks off: no check runs and the menu offers none.
inline constexpr const char* QVUpdateFeedHost = "";
// The application's secret at the telemetry service, which names its update feed.
inline constexpr const char* QVUpdateApplicationSecret = "5f0c3c1e9b2a4d7e8c6f1a2b3c4d5e6f";
// The page that explains how to install a new version (the system's package manager does).
inline constexpr const char* QVUpdateDownloadPage = "https://quorvane.app/dashboard/download";
// The maker's support request page, opened by "send feedback".
inline constexpr const char* QVFeedbackPage = "https://quorvane.app/support/request";
