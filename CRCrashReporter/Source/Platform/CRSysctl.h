#pragma once
// sysctl by Darwin name, answered from Linux facts. Normal context only.
//   "hw.model"            the DMI product name (missing on machines without DMI)
//   "hw.cputype"          0x1000007, "hw.cpusubtype" 3
//   "hw.logicalcpu_max"   configured processors; "hw.physicalcpu_max" distinct cores in the sysfs topology
//   "kern.osrelease"      the kernel release, "kern.osversion" the kernel's version string
// Any other name, "sysctl.proc_native" among them, fails with ENOENT.

#include <cstddef>
#include <string>

namespace platform::crash {

// Like sysctlbyname: with `value` null only the size is returned in `size`; a buffer that is too small
// fails with ENOMEM. Strings include their NUL. Returns 0, or -1 with errno set.
int sysctlbyname(const char* name, void* value, std::size_t* size);

// Where /proc and /sys are read from ("/proc" and "/sys" unless a test points them elsewhere).
void set_sysctl_roots(const std::string& proc_root, const std::string& sys_root);

}  // namespace platform::crash
