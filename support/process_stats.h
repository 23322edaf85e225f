#pragma once

// What the benchmarks read about a server process from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace nerix::support {

// The text of /proc/<pid>/stat, or "" for a process that has gone. A process may end between the
// open and the read: plain calls, since a stream's read would throw on that error.
inline std::string procStat(const std::string& pid) {
    char buffer[1024];
    int fd = ::open(("/proc/" + pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
    if (fd >= 0) ::close(fd);
    return std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
}

// CPU time the process has used so far, user and system, all threads, in seconds
// (utime + stime of /proc/<pid>/stat).
inline double cpuSeconds(pid_t pid) {
    const std::string stat = procStat(std::to_string(pid));
    auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state(3) ... utime is field 14, stime field 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A size field of /proc/<pid>/status ("VmHWM", "VmRSS"), in bytes.
inline std::uint64_t statusBytes(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1)) * 1024;
    return 0;
}

inline std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (!proc) return children;
    while (dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string stat = procStat(entry->d_name);
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) children.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
    }
    ::closedir(proc);
    return children;
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace nerix::support
