#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"

namespace platform::files {

// Replaces the file's content atomically: the bytes go to a temporary file beside it, are flushed
// to disk, and the temporary file is renamed over the target. On any failure the old file is left
// as it was and the temporary file is removed. `mode` applies to a new file; an existing file
// keeps its permission bits.
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, Error* error = nullptr,
                     unsigned mode = 0644);
bool writeAtomically(const std::filesystem::path& path, const Data& bytes, Error* error = nullptr,
                     unsigned mode = 0644);

// True when `name` is the name writeAtomically gives its temporary file: "." + the file's name + "." +
// an upper-case UUID + ".tmp". Such a file outlives its write only when the process was killed
// during the write.
bool isAtomicWriteTemporary(std::string_view name);
// Removes, from the folder itself (not below it), the temporary files that writeAtomically left
// behind (regular files named as above, nothing else), or only those of the file `forName` when it
// is given. A write under way (in this process or another) keeps its temporary file: it holds it
// locked until the file is renamed into place. Answers how many were removed; each one is logged.
std::size_t removeAtomicWriteTemporaries(const std::filesystem::path& folder,
                                         std::optional<std::string_view> forName = std::nullopt);

// Reads the whole file; nullopt (with the error) when it cannot be opened or read, or is larger
// than `maxSize` bytes.
std::optional<Data> readFile(const std::filesystem::path& path, Error* error = nullptr,
                             std::uint64_t maxSize = std::uint64_t(1) << 32);
std::optional<std::string> readTextFile(const std::filesystem::path& path, Error* error = nullptr,
                                        std::uint64_t maxSize = std::uint64_t(1) << 32);
// The bytes of a regular file of at most `maxSize` bytes, as far as the size it had when asked (what
// is appended meanwhile is left out); nullopt when it is missing, larger, cannot be read, or is not a
// regular file: unlike readFile it never opens a folder, a pipe or a device.
std::optional<Data> readSmallRegularFile(const std::filesystem::path& path, std::uint64_t maxSize);

// Moves a file or folder; across file systems it copies recursively and then removes the source.
// Fails when the destination exists.
bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error = nullptr);
// Copies a file or a folder recursively (symbolic links are copied as links). Fails when the
// destination exists; a failed copy removes what it had written.
bool copyItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error = nullptr);
// Removes a file, a link or a folder recursively. A missing item is a failure.
bool removeItem(const std::filesystem::path& path, Error* error = nullptr);
// Creates the folder and its missing parents; an existing folder is fine.
bool createDirectory(const std::filesystem::path& path, Error* error = nullptr);
// The names of the folder's entries, sorted; nullopt when it cannot be read.
std::optional<std::vector<std::string>> contentsOfDirectory(const std::filesystem::path& path,
                                                            Error* error = nullptr);
bool fileExists(const std::filesystem::path& path, bool* isDirectory = nullptr);

}  // namespace platform::files
