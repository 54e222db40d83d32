#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

// Property lists that the application carries as resources (the emoji catalogue and its tables).

// The array stored in the resource "<name>.plist"; nullopt when there is no such resource.
std::optional<platform::PropertyList::Array> zk_arrayFromPropertyListWithName(
    const std::string& name, const platform::Bundle& bundle = platform::Bundle::main());
// The array stored in the file; nullopt, silently, when the file cannot be read, and with the log line
// "Property list isn't an array" when it holds something else or no property list at all.
std::optional<platform::PropertyList::Array> zk_arrayFromPropertyListAtPath(
    const std::filesystem::path& path);

// The same for a dictionary ("Property list isn't a dictionary").
std::optional<platform::PropertyList::Dictionary> zk_dictionaryFromPropertyListWithName(
    const std::string& name, const platform::Bundle& bundle = platform::Bundle::main());
std::optional<platform::PropertyList::Dictionary> zk_dictionaryFromPropertyListAtPath(
    const std::filesystem::path& path);
