#include "bridge/file_grants.h"

#include <algorithm>
#include <array>
#include <system_error>

namespace nerix {

namespace fs = std::filesystem;

namespace {

// Links resolved as far as the path exists: a save-as target need not exist yet.
fs::path resolved(const std::string& path) {
    std::error_code error;
    fs::path real = fs::weakly_canonical(path, error);
    return error ? fs::path(path).lexically_normal() : real;
}

std::string percentEncoded(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace

FileGrants::FileGrants(RandomSource random) : random_(std::move(random)) {}

void FileGrants::grantFile(const std::string& path) {
    fs::path file = resolved(path);
    std::lock_guard lock(mutex_);
    if (std::find(files_.begin(), files_.end(), file) == files_.end()) files_.push_back(std::move(file));
}

void FileGrants::grantBelow(const std::string& folder) {
    fs::path real = resolved(folder);
    std::lock_guard lock(mutex_);
    if (std::find(below_.begin(), below_.end(), real) == below_.end()) below_.push_back(std::move(real));
}

bool FileGrants::granted(const fs::path& file) const {
    if (std::find(files_.begin(), files_.end(), file) != files_.end()) return true;
    return std::any_of(below_.begin(), below_.end(), [&](const fs::path& folder) { return isInside(file, folder); });
}

Result<std::string> FileGrants::newId() {
    std::array<unsigned char, 16> bytes{};
    if (random_(bytes.data(), bytes.size()) != 0) return fail("no random bytes for a file's URL");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char byte : bytes) {
        id += kHex[byte >> 4];
        id += kHex[byte & 15];
    }
    return id;
}

// The id of a file or folder, drawn the first time it is asked for. Called under the lock.
Result<std::string> FileGrants::idFor(const fs::path& real, bool folder) {
    if (auto known = idOfPath_.find(real.string()); known != idOfPath_.end()) return known->second;
    NERIX_TRY_ASSIGN(std::string id, newId());
    byId_[id] = Target{real, folder};
    idOfPath_.emplace(real.string(), id);
    return id;
}

Result<std::string> FileGrants::serveFolder(const std::string& folder) {
    std::error_code error;
    const fs::path real = fs::canonical(folder, error);
    if (error || !fs::is_directory(real, error)) return fail(folder + ": no such folder", 404);
    std::lock_guard lock(mutex_);
    NERIX_TRY_ASSIGN(std::string id, idFor(real, true));
    return std::string(kFilesPrefix) + id;
}

Result<std::string> FileGrants::urlPathFor(const std::string& path) {
    if (path.empty() || path.front() != '/') return fail("not an absolute path: " + path, 400);
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    if (error || !fs::is_regular_file(real, error)) return fail("no such file: " + path, 404);
    std::lock_guard lock(mutex_);
    // Grants are kept with their links resolved as far as they existed, which for a file that
    // exists now is where its links lead.
    if (!granted(real)) return fail("not a file this page was given: " + path, 403);
    NERIX_TRY_ASSIGN(std::string id, idFor(real, false));
    return std::string(kFilesPrefix) + id + "/" + percentEncoded(real.filename().string());
}

PagePath FileGrants::resolve(std::string_view requestPath) const {
    if (requestPath.substr(0, kFilesPrefix.size()) != kFilesPrefix)
        return PagePath{PagePath::Kind::Malformed, {}, 0, {}};
    requestPath.remove_prefix(kFilesPrefix.size());
    const auto slash = requestPath.find('/');
    const std::string_view id = requestPath.substr(0, slash);
    const std::string_view rest = slash == std::string_view::npos ? std::string_view("/") : requestPath.substr(slash);
    Target target;
    {
        std::lock_guard lock(mutex_);
        const auto found = byId_.find(id);
        if (found == byId_.end()) return PagePath{PagePath::Kind::Missing, {}, 0, {}};
        target = found->second;
    }
    if (target.folder) return resolvePagePath(target.path, rest);
    // A file's URL names it by its id; the name after it is for the player's title alone.
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target.path, error);
    if (error || !fs::is_regular_file(status)) return PagePath{PagePath::Kind::Missing, {}, 0, {}};
    const std::uint64_t size = fs::file_size(target.path, error);
    if (error) return PagePath{PagePath::Kind::Missing, {}, 0, {}};
    return PagePath{PagePath::Kind::File, target.path, size, target.path.filename().string()};
}

}  // namespace nerix
