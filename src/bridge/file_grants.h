#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "bridge/token.h"
#include "http/page_path.h"

namespace nerix {

// The files the page may be given a URL for, and the URLs given. The page may have one for a
// file a job of this launch wrote, a file the user chose, dropped or opened with the application
// (its host says which), and any file below the output folder; and the web folder in use is
// served below a URL of its own, so that its media plays where the page's own scheme cannot be
// read by the media pipeline. A URL path is "/files/<id>/<name>": the id is 128 random bits
// drawn for that file (or folder) and valid while the bridge runs; it is never the path, and it
// alone names the file. Called from any thread.
class FileGrants {
public:
    explicit FileGrants(RandomSource random);

    // A file the page may have a URL for from now on (it need not exist yet: a save-as target).
    void grantFile(const std::string& path);
    // Every regular file below `folder` (links resolved) may have a URL.
    void grantBelow(const std::string& folder);
    // The URL path below which every file of `folder` is served by its path in it, as the page's
    // own origin serves it ("/files/<id>"; index.html for "/", nothing outside the folder). The
    // same folder keeps its id.
    Result<std::string> serveFolder(const std::string& folder);

    // The URL path for `path`, an absolute path of a granted regular file: the same for one file
    // as long as the bridge runs. Fails with 404's words when there is no such regular file and
    // with 403's when it was not granted; `code` says which (404 or 403).
    Result<std::string> urlPathFor(const std::string& path);

    // What a request path below "/files/" names (as in the URI, percent-encoded, no query).
    PagePath resolve(std::string_view requestPath) const;

private:
    Result<std::string> newId();
    Result<std::string> idFor(const std::filesystem::path& real, bool folder);
    bool granted(const std::filesystem::path& file) const;

    RandomSource random_;
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> files_;     // as granted, links resolved as far as they exist
    std::vector<std::filesystem::path> below_;     // folders, links resolved
    std::map<std::string, std::string> idOfPath_;  // file or served folder -> its id
    struct Target {
        std::filesystem::path path;
        bool folder = false;
    };
    std::map<std::string, Target, std::less<>> byId_;
};

// The prefix of every file URL's path.
inline constexpr std::string_view kFilesPrefix = "/files/";

}  // namespace nerix
