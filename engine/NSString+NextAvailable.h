#pragma once

#include <optional>
#include <string>
#include <vector>

// The path itself when nothing is there; otherwise the first free sibling "<name> <n>.<extension>" for
// n = 2, 3, ... (the point is always written, so "Notes" gives "Notes 2."). Any directory entry counts
// as taken, a dangling symbolic link included, so the answer is a name that can really be created.
std::string zk_nextAvailablePath(const std::string& path);

// The deepest folder all the paths share, always with a leading "/": "/a/b" for "/a/b/c" and
// "/a/b/d", "/" for "/a" and "/b", "/a" for the relative "a/b" and "a/c". One path gives its parent
// folder as it is written; no paths, or paths with nothing in common, give nullopt.
std::optional<std::string> zk_commonAncestorWithPaths(const std::vector<std::string>& paths);
