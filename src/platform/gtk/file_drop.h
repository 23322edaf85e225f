#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nerix::platform {

class WebView;

// Files dropped on the web view, with their paths, while the page keeps its own drag and drop:
// the drop is watched before the view's own handling and left to it (the page still gets its
// drop events, with the files' contents), and `dropped` is told the paths of each drop of files
// once they are read, in the order of the drops. Main thread.
class FileDrop {
public:
    FileDrop(WebView& view, std::function<void(std::vector<std::string> paths)> dropped);
    ~FileDrop();
    FileDrop(const FileDrop&) = delete;
    FileDrop& operator=(const FileDrop&) = delete;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace nerix::platform
