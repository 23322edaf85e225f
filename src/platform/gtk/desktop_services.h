#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nerix::platform {

class Window;

// What the application tells the desktop beside its window, through GTK and the session bus:
// suspend held off, a count on the launcher, notifications, the file manager, and the
// desktop's dark-style preference. Without a session bus each of them does nothing.
class DesktopServices {
public:
    explicit DesktopServices(Window& window);
    ~DesktopServices();  // lets suspend go
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    // Holds off suspend only (not the screen saver or lock) with `reason`, or lets it go.
    void inhibitSuspend(const std::optional<std::string>& reason);

    // The launcher entry's count (shown when above 0) and its urgency.
    void setLauncherCount(int count, bool urgent);

    // A desktop notification; clicking it presents the window. With `showInFiles`, a
    // "Show in Files" button shows that file in the file manager, or opens its folder where
    // no file manager answers. A later one with the same `id` replaces it.
    void sendNotification(const std::string& id, const std::string& title, const std::string& body,
                          const std::optional<std::string>& showInFiles);

    // Shows `file` in the file manager (FileManager1 ShowItems), or opens its folder where no
    // file manager answers; `done` is told whether either worked.
    void showInFiles(const std::string& file, std::function<void(bool shown)> done);

    // Opens `file` with the user's default application for its type; `done` is told whether
    // one was started.
    void openWithDefault(const std::string& file, std::function<void(bool opened)> done);

    // Adds `file` to the desktop's recent files, as opened by this application.
    void addRecentFile(const std::string& file);

    // Follows the desktop's colour scheme (the settings portal's org.freedesktop.appearance
    // color-scheme) as GTK's dark-style preference, which the page sees as prefers-color-scheme.
    void followColorScheme();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
