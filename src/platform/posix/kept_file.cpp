#include "platform/posix/kept_file.h"

#include "platform/posix/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace nerix::platform {
namespace {

constexpr std::string_view kRecordPrefix = ".vantorel-keep-";
constexpr std::string_view kKeptSuffix = ".kept";
constexpr std::string_view kRecordMagic = "vantorel kept file\n";

// The folder's entries reach the disk: a record that a crash could lose is no record.
void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The record's text: the magic line, then the kept file's and the original's names, each
// ended by a NUL (a name may hold a line end, never a NUL or a "/").
std::string recordText(const std::string& kept, const std::string& original) {
    std::string text(kRecordMagic);
    text += baseNameOf(kept);
    text += '\0';
    text += baseNameOf(original);
    text += '\0';
    return text;
}

bool readRecord(int fd, std::string& kept, std::string& original) {
    std::string text;
    char buffer[1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > 4096) return false;
    }
    if (!text.starts_with(kRecordMagic)) return false;
    std::string_view rest = std::string_view(text).substr(kRecordMagic.size());
    auto first = rest.find('\0');
    if (first == std::string_view::npos) return false;
    auto second = rest.find('\0', first + 1);
    if (second == std::string_view::npos || second + 1 != rest.size()) return false;
    kept.assign(rest.substr(0, first));
    original.assign(rest.substr(first + 1, second - first - 1));
    auto plainName = [](const std::string& name) {
        return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
    };
    return plainName(kept) && plainName(original);
}

}  // namespace

KeptFile::KeptFile(std::string original, std::string kept, std::string record, int lock, bool wasLink)
    : original_(std::move(original)),
      kept_(std::move(kept)),
      record_(std::move(record)),
      lock_(lock),
      wasLink_(wasLink) {}

KeptFile::~KeptFile() {
    if (lock_ >= 0) ::close(lock_);
}

Result<std::unique_ptr<KeptFile>> KeptFile::keepAside(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::unique_ptr<KeptFile>();
        return pathFailure(path, errno);
    }
    const bool link = S_ISLNK(info.st_mode);
    if (!link && !S_ISREG(info.st_mode)) return std::unique_ptr<KeptFile>();

    const std::string folder = parentOf(path);
    std::string record = folder + "/" + std::string(kRecordPrefix) + "XXXXXX";
    // mkostemp: mode 0600 under a fresh name, which also reserves the kept file's name beside it.
    int fd = ::mkostemp(record.data(), O_CLOEXEC);
    if (fd < 0) return pathFailure(path, errno);
    const std::string kept = record + std::string(kKeptSuffix);
    // Locked before it says anything: a start that looks at it meanwhile finds it empty, or held.
    int error = 0;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {}
    if (!writeAll(fd, recordText(kept, path)) || ::fsync(fd) != 0) error = errno ? errno : EIO;
    if (error == 0) syncFolder(folder);
    if (error == 0 && ::rename(path.c_str(), kept.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(record.c_str());
        ::close(fd);
        return pathFailure(path, error);
    }
    return std::unique_ptr<KeptFile>(new KeptFile(path, kept, record, fd, link));
}

void KeptFile::restore() {
    if (settled_) return;
    settled_ = true;
    // A record stays while its file has not gone back: the next start tries again.
    if (::rename(kept_.c_str(), original_.c_str()) != 0 && errno != ENOENT) return;
    ::unlink(record_.c_str());
}

void KeptFile::discard() {
    if (settled_) return;
    settled_ = true;
    if (::unlink(kept_.c_str()) != 0 && errno != ENOENT) return;
    ::unlink(record_.c_str());
}

std::vector<std::string> restoreAbandoned(const std::string& folder) {
    std::vector<std::string> restored;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return restored;
    const int dirFd = ::dirfd(dir);
    std::vector<std::string> records;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.starts_with(kRecordPrefix) && name.size() == kRecordPrefix.size() + 6) records.emplace_back(name);
    }
    for (const std::string& name : records) {
        int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        std::string kept, original;
        // Held by an owner that still lives, gone meanwhile, not ours, or not (yet) a record:
        // left alone.
        const bool abandoned = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid() &&
                               ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &info) == 0 && info.st_nlink > 0 &&
                               readRecord(fd, kept, original);
        if (abandoned) {
            struct stat keptInfo {};
            const bool present = ::fstatat(dirFd, kept.c_str(), &keptInfo, AT_SYMLINK_NOFOLLOW) == 0;
            if (!present || ::renameat(dirFd, kept.c_str(), dirFd, original.c_str()) == 0) {
                ::unlinkat(dirFd, name.c_str(), 0);
                if (present) {
                    std::string path = folder;
                    path += '/';
                    path += original;
                    restored.push_back(std::move(path));
                }
            }
        }
        ::close(fd);
    }
    ::closedir(dir);
    return restored;
}

}  // namespace nerix::platform
