#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace nerix::platform {
namespace {

Failure failure(const std::string& path, int error) { return fail(path + ": " + std::strerror(error), error); }

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
    bool removeAtExit = false;
};

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

    std::string base = nonEmptyEnv("TMPDIR");
    if (base.empty()) base = "/tmp";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string pattern = (base == "/" ? std::string() : base) + "/vantorel-XXXXXX";
    // mkdtemp makes the folder with mode 0700 under a name nobody can guess in advance.
    if (::mkdtemp(pattern.data()) == nullptr) return failure(base, errno);
    folder.path = pattern;
    if (!folder.removeAtExit) {
        std::atexit(removePrivateFolder);
        folder.removeAtExit = true;
    }
    return folder.path;
}

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
        if (n < 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

Result<std::string> userTemporaryFolder() {
    // Per-user and mode 0700 by the login session's rules; read afresh at every call.
    std::string runtime = nonEmptyEnv("XDG_RUNTIME_DIR");
    if (!runtime.empty()) return runtime;
    return makePrivateFolder();
}

Result<void> writeTextAtomically(const std::string& path, std::string_view text) {
    std::string side = parentOf(path) + "/." + baseNameOf(path) + ".XXXXXX";
    int fd = ::mkostemp(side.data(), O_CLOEXEC);
    if (fd < 0) return failure(path, errno);

    int error = 0;
    if (!writeAll(fd, text)) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(side.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0) return {};
    ::unlink(side.c_str());
    return failure(path, error);
}

Result<void> createDirectories(const std::string& path) {
    if (path.empty()) return failure(path, ENOENT);
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
            return failure(prefix, ENOTDIR);
        }
        return failure(prefix, error);
    }
    return {};
}

bool removeFile(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

}  // namespace nerix::platform
