#pragma once
// Reads of a task's memory and the readable-region table of the own process. Everything here is
// async-signal-safe: raw system calls, no allocation, no lock.

#include <cstddef>
#include <cstdint>

#include "CRMach.h"

namespace platform::crash {

// Copies `size` bytes at `address` of the task into `dest`. Own memory that the region table lists as
// readable is copied directly; everything else goes through process_vm_readv, and a fault is told apart
// by mincore on the failing page: an unmapped page gives KERN_INVALID_ADDRESS, a mapped but unreadable
// one KERN_PROTECTION_FAILURE. `out_size` receives the bytes copied. The table is refreshed at the start
// of every report, with the other threads stopped, so that it is exact while a report is written.
kern_return_t mach_vm_read_overwrite(task_t task, mach_vm_address_t address, mach_vm_size_t size, void* dest,
                                     mach_vm_size_t* out_size);

std::uint64_t page_size();

// The own process's readable regions, parsed from /proc/self/maps into a preallocated table. Refreshed
// once per report (and after the loader changes the image set); readers never block on a refresh.
// Returns false when the maps could not be read or another thread is refreshing at the same moment.
bool region_table_refresh();

// Number of bytes, whole pages from the page-aligned `page_start`, that are readable without a break, up
// to `length`. Pages that the table does not show as readable are probed directly, so a region mapped
// after the last refresh is still seen.
std::uint64_t readable_prefix(std::uint64_t page_start, std::uint64_t length);

}  // namespace platform::crash
