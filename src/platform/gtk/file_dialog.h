#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nerix::platform {

class Window;

// One filter of a file dialog: a name and the name patterns and MIME types it shows.
struct FileDialogFilter {
    std::string name;
    std::vector<std::string> patterns;
    std::vector<std::string> mimeTypes;
};

struct FileDialogOptions {
    enum class Mode { Open, OpenMany, Folder, Save };
    Mode mode = Mode::Open;
    std::string title;
    std::optional<std::string> folder;  // where it starts
    std::string name;                   // the name it suggests (Save)
    std::vector<FileDialogFilter> filters;
};

// Shows the desktop's file dialog, modal to `window`: the portal's where a portal runs, GTK's
// otherwise. A dialog that saves asks before it overwrites a file. `chosen` is told once, on
// the main thread, with the paths chosen, or nothing when the user cancelled (or no dialog
// could be shown); a file of no local path is left out.
void showFileDialog(Window& window, const FileDialogOptions& options,
                    std::function<void(std::optional<std::vector<std::string>> paths)> chosen);

}  // namespace nerix::platform
