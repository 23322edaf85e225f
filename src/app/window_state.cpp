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
    GError* failure = nullptr;
    T read = get(file, kGroup, key, &failure);
    if (failure) {
        error = failure->message;
        g_error_free(failure);
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
    GKeyFile* file = g_key_file_new();
    GError* failure = nullptr;
    WindowState state;
    std::string error;
    if (!g_key_file_load_from_data(file, text.data(), text.size(), G_KEY_FILE_NONE, &failure)) {
        error = failure->message;
        g_error_free(failure);
    } else {
        readKey(file, "width", state.width, g_key_file_get_integer, error) &&
            readKey(file, "height", state.height, g_key_file_get_integer, error) &&
            readKey(file, "maximized", state.maximized, g_key_file_get_boolean, error) &&
            readKey(file, "fullscreen", state.fullScreen, g_key_file_get_boolean, error) &&
            readKey(file, "zoom", state.zoom, g_key_file_get_double, error);
    }
    g_key_file_free(file);
    if (!error.empty()) return fail(error);
    return state;
}

std::string windowStateText(const WindowState& state) {
    GKeyFile* file = g_key_file_new();
    g_key_file_set_integer(file, kGroup, "width", state.width);
    g_key_file_set_integer(file, kGroup, "height", state.height);
    g_key_file_set_boolean(file, kGroup, "maximized", state.maximized);
    g_key_file_set_boolean(file, kGroup, "fullscreen", state.fullScreen);
    g_key_file_set_double(file, kGroup, "zoom", state.zoom);
    gchar* data = g_key_file_to_data(file, nullptr, nullptr);
    std::string text = data;
    g_free(data);
    g_key_file_free(file);
    return text;
}

WindowState clampWindowState(WindowState state, int minWidth, int minHeight, int monitorWidth, int monitorHeight) {
    // Not a number (a hand-edited "nan") is no zoom at all.
    state.zoom = state.zoom == state.zoom ? std::clamp(state.zoom, kMinZoom, kMaxZoom) : 1.0;
    if (state.width <= 0 || state.height <= 0) {
        state.width = state.height = 0;
        return state;
    }
    auto bound = [](int value, int low, int high) { return std::max(low, high > 0 ? std::min(value, high) : value); };
    state.width = bound(state.width, minWidth, monitorWidth);
    state.height = bound(state.height, minHeight, monitorHeight);
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
