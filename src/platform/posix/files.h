#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace nerix::platform {

// A failure of these operations names the path and the system's reason ("<path>: <system
// text>") and carries the errno value.

// The current user's private temporary folder: $XDG_RUNTIME_DIR when it is set, otherwise a
// folder only this user can enter, made once per process with mkdtemp under $TMPDIR (or /tmp)
// and removed again when the process exits (held with a lock meanwhile, so that another start
// can tell it from a killed process's leftover). Never a predictable name in a shared folder.
Result<std::string> userTemporaryFolder();

// Writes `text` to a side file in the target's folder and renames it over `path`, so that a
// reader sees either the old file or the whole new one. The file is readable by its owner only.
Result<void> writeTextAtomically(const std::string& path, std::string_view text);

// Creates `path` and every missing parent folder. A folder that already exists is no error;
// anything else in the way (a regular file, say) is.
Result<void> createDirectories(const std::string& path);

// A failure that names `path` and the system's reason for `error` ("<path>: <system text>").
Failure pathFailure(const std::string& path, int error);

// The folder that holds `path` ("." for a bare name, "/" for a name in the root folder), and
// its last component.
std::string parentOf(const std::string& path);
std::string baseNameOf(const std::string& path);

// Writes all of `text` to `fd`, again after an interruption. false, with errno set, when a write
// fails or writes nothing.
bool writeAll(int fd, std::string_view text);

// Removes one file. Returns false when it could not be removed.
bool removeFile(const std::string& path) noexcept;

// Removes, with what they hold, the private temporary folders (vantorel-XXXXXX under $TMPDIR or
// /tmp) of this user that no live process holds any more: those of processes that were killed.
// Returns how many went.
int removeAbandonedTemporaryFolders();

}  // namespace nerix::platform
