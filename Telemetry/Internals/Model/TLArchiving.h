#pragma once

#include <memory>

#include "platform/Data.h"
#include "platform/KeyedUnarchiver.h"

// Registers every archived class of the telemetry model under its class name.
void TLRegisterArchivedClasses(platform::ClassRegistry& registry);
// The shared registry, with the telemetry classes registered (once).
platform::ClassRegistry& TLClassRegistry();

// The keyed archive of the object under the root key.
platform::Data TLArchivedData(const platform::ArchiveObject& root);
// The root object of a keyed archive; nil for any archive that is not sound (nothing throws).
platform::ArchiveObject TLUnarchivedObject(const platform::Data& data);
