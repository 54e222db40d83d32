#pragma once

// The analytics service's log tag, service name and group id.
inline constexpr const char* kTLAnalyticsLogTag = "TelemetryAnalytics";
inline constexpr const char* kTLAnalyticsServiceName = "Analytics";
inline constexpr const char* kTLAnalyticsGroupId = "Analytics";
// Suffix of the critical unit's group id ("Analytics_critical").
inline constexpr const char* kTLAnalyticsCriticalSuffix = "critical";

// Persistence flags of a log: the low byte is the priority.
inline constexpr unsigned kTLFlagsNormal = 1;
inline constexpr unsigned kTLFlagsCritical = 2;
