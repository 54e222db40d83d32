#pragma once

#include <string>
#include <vector>

// The categories a module may name in its manifest, in the order the editors list them. The manager
// exposes this as its own class operation; a manifest's category is not checked against it.
const std::vector<std::string>& availableCategories();
