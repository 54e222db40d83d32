#pragma once

// Paths into the source and build trees for the tests. The test programs name them through macros that
// the build defines (QV_ENGINE_FIXTURES and the like) as calls of these functions: the absolute roots
// are joined at run time instead of being written into every test object, so that the objects are the
// same in every clone of the repository and a build in another clone reuses the compiler cache.
namespace qvtesting {

// The absolute path of `relative` below the source root (the build tree's root for buildTreePath). The
// text stays valid for the life of the program.
const char* sourceTreePath(const char* relative);
const char* buildTreePath(const char* relative);

}  // namespace qvtesting
