#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Bundle.h"

// The sounds a notification may play: the application's own ("wav" files in its resource folder
// "Sounds") and those installed for the user and the system in the XDG sound folders. Lists that open
// every sound file are built once per run and kept; a sound installed later shows up after a restart.
// Paths are full paths; every list is sorted by plain string comparison.

// Full paths of the "wav" resources in that resource folder of the bundle (the main bundle by default).
std::vector<std::string> zk_bundledSoundsInSubdirectory(const std::string& subdirectory);
std::vector<std::string> zk_bundledSoundsInSubdirectory(const platform::Bundle& bundle,
                                                        const std::string& subdirectory);
// The main bundle's "Sounds", made once. Its sixth entry is the default of every sound option.
const std::vector<std::string>& zk_bundledNotificationSounds();

// Every sound file below the given folders, walked into subfolders (built now).
std::vector<std::string> zk_actualAllSoundsArray(const std::vector<std::filesystem::path>& soundFolders);
// The same over the user's sound folder followed by the system's (built now).
std::vector<std::string> zk_actualAllSoundsArray();
// zk_actualAllSoundsArray(), made once.
const std::vector<std::string>& zk_allSoundsArray();

// Names (relative path without extension) of the sounds in the user's sound folder (built now).
std::vector<std::string> zk_userSoundsArray();
// Names of the sounds in the system's sound folders (built now), and the same made once.
std::vector<std::string> zk_systemSoundsArray();
const std::vector<std::string>& zk_systemSounds();

// The sound folders: the user's "$XDG_DATA_HOME/sounds" (~/.local/share/sounds when the variable is
// unset or not absolute) and the system's "<dir>/sounds" for each folder of $XDG_DATA_DIRS
// (/usr/local/share:/usr/share when unset), in that order.
std::filesystem::path zk_userSoundsFolder();
std::vector<std::filesystem::path> zk_systemSoundsFolders();
// Names of the sounds below one folder, sorted and without repeats.
std::vector<std::string> zk_soundNamesInFolder(const std::filesystem::path& folder);
// True for a regular file (or a link to one) that starts like a sound the desktop can play: WAV, Ogg
// (Vorbis, Opus, FLAC), FLAC, MP3, AIFF or Sun audio.
bool zk_isSoundFileAtPath(const std::filesystem::path& path);
