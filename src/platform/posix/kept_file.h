#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

namespace nerix::platform {

// A file moved out of the way of a run that writes its path, so that the run can never destroy
// it: put back when the run fails (or never ends), let go when it succeeds.
//
// On disk, in the file's own folder: the record ".vantorel-keep-XXXXXX" (mode 0600: the kept
// file's and the original's names), then the kept file itself, "<record>.kept". The record is
// written, flushed and locked (flock) before the file moves, and goes only after the file has
// gone or moved back, so a crash at any step leaves either the file in its place or a record
// that names it. The lock lives as long as an owner: this object and, while a tool runs, the
// reaper, which holds a copy of its descriptor; a record nobody holds is a leftover that the
// next start puts right (restoreAbandoned).
class KeptFile {
public:
    // Moves the file or symbolic link at `path` aside (a link is moved, never followed). Nothing
    // when there is nothing at `path`, or something that is neither (a folder, say), which is
    // left where it is.
    static Result<std::unique_ptr<KeptFile>> keepAside(const std::string& path);
    ~KeptFile();  // closes the record's lock; does not touch the files
    KeptFile(const KeptFile&) = delete;
    KeptFile& operator=(const KeptFile&) = delete;

    // The file goes back to its path, replacing whatever is there now; then the record goes.
    void restore();
    // The kept file is removed; then the record.
    void discard();

    bool wasLink() const { return wasLink_; }
    const std::string& original() const { return original_; }
    const std::string& kept() const { return kept_; }
    const std::string& record() const { return record_; }
    // The record's locked descriptor, for the reaper to hold while the tool runs.
    int lockDescriptor() const { return lock_; }

private:
    KeptFile(std::string original, std::string kept, std::string record, int lock, bool wasLink);

    std::string original_;
    std::string kept_;
    std::string record_;
    int lock_ = -1;
    bool wasLink_ = false;
    bool settled_ = false;
};

// Puts back every file in `folder` that a run kept aside and nobody holds any more (its bridge
// and its reaper have ended), and removes those records. Returns the paths put back.
std::vector<std::string> restoreAbandoned(const std::string& folder);

}  // namespace nerix::platform
