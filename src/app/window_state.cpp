#include "app/window_state.h"

#include <glib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace nerix {

namespace {
constexpr const char* kGroup = "window";

// A key that is there must hold a value of its type; one that is not keeps the default.
template <class T, class Get>
bool readKey(GKeyFile* file, const char* key, T& value, Get get, std::string& error) {
    if (!g_key_file_has_key(file, kGroup, key, nullptr)) return true;
    g_autoptr(GError) failure = nullptr;
    T read = get(file, kGroup, key, &failure);
    if (failure) {
        error = failure->message;
        return false;
    }
    value = read;
    return true;
}
}  // namespace

std::filesystem::path windowStatePath(const char* xdgStateHome, const char* home) {
    std::filesystem::path base;
    if (xdgStateHome && *xdgStateHome && std::filesystem::path(xdgStateHome).is_absolute())
        base = xdgStateHome;
    else
        base = std::filesystem::path(home ? home : "") / ".local/state";
    return base / "vantorel/state.ini";
}

Result<WindowState> parseWindowState(std::string_view text) {
    g_autoptr(GKeyFile) file = g_key_file_new();
    g_autoptr(GError) failure = nullptr;
    if (!g_key_file_load_from_data(file, text.data(), text.size(), G_KEY_FILE_NONE, &failure))
        return fail(failure->message);
    WindowState state;
    WindowPlacement& placement = state.placement;
    std::string error;
    readKey(file, "width", placement.width, g_key_file_get_integer, error) &&
        readKey(file, "height", placement.height, g_key_file_get_integer, error) &&
        readKey(file, "maximized", placement.maximized, g_key_file_get_boolean, error) &&
        readKey(file, "fullscreen", placement.fullScreen, g_key_file_get_boolean, error) &&
        readKey(file, "zoom", state.zoom, g_key_file_get_double, error);
    if (!error.empty()) return fail(error);
    return state;
}

std::string windowStateText(const WindowState& state) {
    g_autoptr(GKeyFile) file = g_key_file_new();
    g_key_file_set_integer(file, kGroup, "width", state.placement.width);
    g_key_file_set_integer(file, kGroup, "height", state.placement.height);
    g_key_file_set_boolean(file, kGroup, "maximized", state.placement.maximized);
    g_key_file_set_boolean(file, kGroup, "fullscreen", state.placement.fullScreen);
    g_key_file_set_double(file, kGroup, "zoom", state.zoom);
    g_autofree gchar* data = g_key_file_to_data(file, nullptr, nullptr);
    return data;
}

WindowState clampWindowState(WindowState state, int minWidth, int minHeight, int monitorWidth, int monitorHeight) {
    // Not a number (a hand-edited "nan") is no zoom at all.
    state.zoom = state.zoom == state.zoom ? std::clamp(state.zoom, kMinZoom, kMaxZoom) : 1.0;
    WindowPlacement& placement = state.placement;
    if (placement.width <= 0 || placement.height <= 0) {
        placement.width = placement.height = 0;
        return state;
    }
    auto bound = [](int value, int low, int high) { return std::max(low, high > 0 ? std::min(value, high) : value); };
    placement.width = bound(placement.width, minWidth, monitorWidth);
    placement.height = bound(placement.height, minHeight, monitorHeight);
    return state;
}

WindowState loadWindowState(const std::filesystem::path& file, const std::function<void(std::string_view)>& log) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};  // never saved: the first launch
    std::stringstream text;
    text << in.rdbuf();
    Result<WindowState> state = parseWindowState(text.str());
    if (!state) {
        log("window state " + file.string() + ": " + state.error().message + "; using the defaults");
        return {};
    }
    return *state;
}

void saveWindowState(const std::filesystem::path& file, const WindowState& state,
                     const std::function<void(std::string_view)>& log) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    const std::filesystem::path partial = file.string() + ".new";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << windowStateText(state);
        if (!out.flush()) {
            log("window state " + file.string() + ": cannot write " + partial.string());
            return;
        }
    }
    std::filesystem::rename(partial, file, error);
    if (error) log("window state " + file.string() + ": " + error.message());
}

}  // namespace nerix
