#include "platform/posix/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace nerix::platform {
namespace {

std::string nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The folder this process made for itself when the user has no runtime folder. Guarded by a
// mutex because tests call in from several threads; the bridge itself only from its queue.
struct PrivateFolder {
    std::mutex mutex;
    std::string path;
    int lock = -1;  // holds a shared flock on the folder while this process lives
    bool removeAtExit = false;
};

constexpr std::string_view kPrivatePrefix = "vantorel-";

std::string temporaryBase() {
    std::string base = nonEmptyEnv("TMPDIR");
    if (base.empty()) base = "/tmp";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
}

PrivateFolder& privateFolder() {
    static PrivateFolder folder;
    return folder;
}

void removePrivateFolder() {
    // Only an empty folder goes: every source file is removed after its run.
    std::string path = privateFolder().path;
    if (!path.empty()) ::rmdir(path.c_str());
}

Result<std::string> makePrivateFolder() {
    auto& folder = privateFolder();
    std::lock_guard lock(folder.mutex);
    // Made once; made again only when something (a cleaner of old files) took it away.
    if (!folder.path.empty() && isDirectory(folder.path)) return folder.path;

    const std::string base = temporaryBase();
    for (;;) {
        std::string pattern = (base == "/" ? std::string() : base) + "/" + std::string(kPrivatePrefix) + "XXXXXX";
        // mkdtemp makes the folder with mode 0700 under a name nobody can guess in advance.
        if (::mkdtemp(pattern.data()) == nullptr) return pathFailure(base, errno);
        // Held while this process lives: a later start sees it is ours and leaves it alone. A start
        // that took it between the two steps (it was not held yet) has removed it: make another.
        int held = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (held < 0) return pathFailure(pattern, errno);
        while (::flock(held, LOCK_SH) != 0 && errno == EINTR) {}
        struct stat info {};
        if (::fstat(held, &info) != 0 || info.st_nlink == 0) {
            ::close(held);
            continue;
        }
        if (folder.lock >= 0) ::close(folder.lock);
        folder.lock = held;
        folder.path = pattern;
        break;
    }
    if (!folder.removeAtExit) {
        std::atexit(removePrivateFolder);
        folder.removeAtExit = true;
    }
    return folder.path;
}

}  // namespace

Failure pathFailure(const std::string& path, int error) { return fail(path + ": " + std::strerror(error), error); }

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

Result<std::string> userTemporaryFolder() {
    // Per-user and mode 0700 by the login session's rules; read afresh at every call.
    std::string runtime = nonEmptyEnv("XDG_RUNTIME_DIR");
    if (!runtime.empty()) return runtime;
    return makePrivateFolder();
}

Result<void> writeTextAtomically(const std::string& path, std::string_view text) {
    std::string side = parentOf(path) + "/." + baseNameOf(path) + ".XXXXXX";
    int fd = ::mkostemp(side.data(), O_CLOEXEC);
    if (fd < 0) return pathFailure(path, errno);

    int error = 0;
    if (!writeAll(fd, text)) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(side.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0) return {};
    ::unlink(side.c_str());
    return pathFailure(path, error);
}

Result<void> createDirectories(const std::string& path) {
    if (path.empty()) return pathFailure(path, ENOENT);
    // Walk the prefixes, shortest first: "/a", "/a/b", ... , the whole path.
    std::size_t end = 0;
    while (end != std::string::npos) {
        end = path.find('/', end + 1);
        std::string prefix = path.substr(0, end);
        if (prefix.empty() || prefix.back() == '/') continue;  // a doubled "/" adds no folder
        if (::mkdir(prefix.c_str(), 0777) == 0) continue;
        int error = errno;
        if (error == EEXIST) {
            if (isDirectory(prefix)) continue;
            return pathFailure(prefix, ENOTDIR);
        }
        return pathFailure(prefix, error);
    }
    return {};
}

bool removeFile(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

int removeAbandonedTemporaryFolders() {
    const std::string base = temporaryBase();
    DIR* dir = ::opendir(base.c_str());
    if (!dir) return 0;
    const int baseFd = ::dirfd(dir);
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.starts_with(kPrivatePrefix) && name.size() == kPrivatePrefix.size() + 6) names.emplace_back(name);
    }
    int removed = 0;
    for (const std::string& name : names) {
        // Never followed through a link, only this user's own, only when no live process holds it.
        int fd = ::openat(baseFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_uid == ::getuid() && (info.st_mode & 077) == 0 &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // Its files are a dead run's sources: flat, no folders of their own.
            int listing = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (DIR* inside = listing >= 0 ? ::fdopendir(listing) : nullptr) {
                while (dirent* entry = ::readdir(inside)) {
                    std::string_view entryName = entry->d_name;
                    if (entryName != "." && entryName != "..") ::unlinkat(::dirfd(inside), entry->d_name, 0);
                }
                ::closedir(inside);
            } else if (listing >= 0) {
                ::close(listing);
            }
            if (::unlinkat(baseFd, name.c_str(), AT_REMOVEDIR) == 0) ++removed;
        }
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

}  // namespace nerix::platform
