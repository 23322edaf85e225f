#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace nerix {

// The files opened with the application (a second launch's arguments, "Open With"), kept until
// the page listens for them, so that none is lost to a page still loading. Main thread.
class OpenedFiles {
public:
    // Files that arrived: what the page gets now (all of them while it listens), or nothing,
    // and they are kept for it.
    std::vector<std::string> arrive(const std::vector<std::string>& paths);
    // The page listens: everything kept is its now.
    std::vector<std::string> pageListens();
    // A new page is loading: it has not listened yet.
    void pageGone() { listening_ = false; }

private:
    std::vector<std::string> kept_;
    bool listening_ = false;
};

// The files the user put within the page's reach: chosen in a dialog, dropped on the window,
// opened with the application, or written by a job of this launch. The one list the page's
// file access is granted from. Main thread.
class GrantedFiles {
public:
    // Who else hears of each file added (the bridge, which gives the page URLs for them).
    void setAdded(std::function<void(const std::string&)> added) { added_ = std::move(added); }
    void add(const std::string& path) {
        paths_.insert(std::filesystem::path(path).lexically_normal().string());
        if (added_) added_(path);
    }
    void add(const std::vector<std::string>& paths) {
        for (const auto& path : paths) add(path);
    }
    bool contains(const std::string& path) const {
        return paths_.contains(std::filesystem::path(path).lexically_normal().string());
    }
    const std::set<std::string>& paths() const { return paths_; }

private:
    std::set<std::string> paths_;
    std::function<void(const std::string&)> added_;
};

// A launch's file arguments as absolute paths: a relative one is taken from `folder`, the
// folder that launch was started in; "file://" URIs are read as their paths. Empty ones go, and URIs that name no local file.
std::vector<std::string> absolutePaths(const std::vector<std::string>& arguments, const std::filesystem::path& folder);

}  // namespace nerix
