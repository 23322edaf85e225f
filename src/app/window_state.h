#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/window_placement.h"

namespace nerix {

// What the window remembers between launches: where it was, and the page's zoom. Kept in
// $XDG_STATE_HOME/vantorel/state.ini, a GLib key file with one group [window].
struct WindowState {
    WindowPlacement placement;
    double zoom = 1.0;

    bool operator==(const WindowState&) const = default;
};

inline constexpr double kMinZoom = 0.3;
inline constexpr double kMaxZoom = 3.0;

// The file: $XDG_STATE_HOME/vantorel/state.ini, or ~/.local/state/vantorel/state.ini when the
// variable is unset, empty or not absolute.
std::filesystem::path windowStatePath(const char* xdgStateHome, const char* home);

// Reads the key file's text. Text that is not a key file, or a value of the wrong type, is an
// error naming the line or key; keys that are missing keep their defaults.
Result<WindowState> parseWindowState(std::string_view text);
std::string windowStateText(const WindowState& state);

// A saved size is kept within [minimum, monitor] on each side and the zoom within
// [kMinZoom, kMaxZoom]; a state never saved stays so. A monitor of 0 x 0 (not known) bounds nothing.
WindowState clampWindowState(WindowState state, int minWidth, int minHeight, int monitorWidth, int monitorHeight);

// The file as saved, or the defaults when there is none; a file that cannot be read or parsed
// is logged ("window state <file>: <error>; using the defaults") and ignored.
WindowState loadWindowState(const std::filesystem::path& file, const std::function<void(std::string_view)>& log);

// Written whole to a file beside it and renamed over it; a failure is logged, never fatal.
void saveWindowState(const std::filesystem::path& file, const WindowState& state,
                     const std::function<void(std::string_view)>& log);

}  // namespace nerix
