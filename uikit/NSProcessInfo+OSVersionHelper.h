#pragma once

// Version tests of the platform the kit runs on. The kit's feature tests are stated against version
// numbers of its original platform; the desktop layer answers them with the number of the newest
// platform whose features it provides (full-size window content, appearances, effect views), so every
// test below answers YES on it.
double zk_operatingSystemVersionNumber();
// YES when `version` (the running platform's number by default) is at least `threshold`.
bool zk_isOperatingSystemAtLeastVersion(double threshold, double version = zk_operatingSystemVersionNumber());
bool zk_isOperatingSystemAtLeast10_9();
bool zk_isOperatingSystemAtLeast10_10();
bool zk_isOperatingSystemAtLeast10_10_3();
bool zk_isOperatingSystemAtLeast10_11();
bool zk_isOperatingSystemAtLeast10_12();
