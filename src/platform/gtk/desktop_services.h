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

    // Follows the desktop's colour scheme (the settings portal's org.freedesktop.appearance
    // color-scheme) as GTK's dark-style preference, which the page sees as prefers-color-scheme.
    void followColorScheme();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
