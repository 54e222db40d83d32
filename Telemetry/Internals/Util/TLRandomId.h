#pragma once

#include <string>

// A random (version 4) UUID in upper-case text, from a generator of the calling thread. For ids
// that only need to be unique (a log's internal id, an event id): unlike the system's UUID source
// it makes no system call after a thread's first id, so busy callers neither wait on the kernel nor
// on each other.
std::string TLRandomUUIDString();
