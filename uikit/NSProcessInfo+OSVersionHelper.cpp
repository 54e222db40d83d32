#include "uikit/NSProcessInfo+OSVersionHelper.h"

double zk_operatingSystemVersionNumber() { return 1348.1; }

bool zk_isOperatingSystemAtLeastVersion(double threshold, double version) { return version >= threshold; }
bool zk_isOperatingSystemAtLeast10_9() { return zk_isOperatingSystemAtLeastVersion(855.11); }
bool zk_isOperatingSystemAtLeast10_10() { return zk_isOperatingSystemAtLeastVersion(1151.16); }
bool zk_isOperatingSystemAtLeast10_10_3() { return zk_isOperatingSystemAtLeastVersion(1153.18); }
bool zk_isOperatingSystemAtLeast10_11() { return zk_isOperatingSystemAtLeastVersion(1253.0); }
bool zk_isOperatingSystemAtLeast10_12() { return zk_isOperatingSystemAtLeastVersion(1348.1); }
