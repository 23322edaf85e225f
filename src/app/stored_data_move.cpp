#include "app/stored_data_move.h"

#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include <glib.h>

#include "app/page_origin.h"
#include "bridge/token.h"

namespace nerix {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFileOrigin = "file://";
constexpr std::string_view kLocalStorage = "LocalStorage";
constexpr std::string_view kIndexedDB = "IndexedDB";
constexpr std::string_view kNotMoved = "stored page data of the earlier release not moved (tried again next launch): ";

// A step that failed, said without a path: the folder names are derived from the salt.
struct MoveError {
    std::string what;
    std::error_code code;
};

std::optional<std::string> readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

// The system's reason when there is one (a stream keeps none of its own).
std::error_code writeFile(const fs::path& file, std::string_view bytes) {
    errno = 0;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (out) return {};
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

fs::path originFolder(const fs::path& storage, std::string_view origin, std::string_view salt) {
    const std::string name = originFolderName(origin, salt);
    return storage / name / name;
}

// Copies `from` to `to` through a folder beside `to`, renamed into place once whole. Nothing is
// done when `to` is already there.
std::optional<MoveError> copyInto(const fs::path& from, const fs::path& to, std::string_view what) {
    std::error_code error;
    if (fs::exists(to, error)) return std::nullopt;
    const fs::path partial = to.parent_path() / ("." + to.filename().string() + ".moving");
    fs::remove_all(partial, error);
    fs::copy(from, partial, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (!error) fs::rename(partial, to, error);
    if (!error) return std::nullopt;
    std::error_code ignored;
    fs::remove_all(partial, ignored);
    return MoveError{"copying " + std::string(what), error};
}

std::optional<MoveError> copyOrigin(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::create_directories(to, error);
    if (error) return MoveError{"making the folder of " + std::string(kPageOrigin), error};
    // WebKit writes the file itself when it makes the folder; one written here must say the same.
    if (!fs::exists(to / "origin", error))
        if (auto failed = writeFile(to / "origin", originFileText(kPageScheme, kPageHost)))
            return MoveError{"writing the origin file", failed};

    if (fs::is_directory(from / kLocalStorage, error))
        if (auto failed = copyInto(from / kLocalStorage, to / kLocalStorage, "localStorage")) return failed;

    // One folder per database: those the page's origin has made for itself are its own.
    if (!fs::is_directory(from / kIndexedDB, error)) return std::nullopt;
    fs::create_directories(to / kIndexedDB, error);
    if (error) return MoveError{"making the IndexedDB folder", error};
    fs::directory_iterator databases(from / kIndexedDB, error), end;
    if (error) return MoveError{"reading the IndexedDB folder", error};
    for (; databases != end; databases.increment(error)) {
        if (!databases->is_directory(error)) continue;
        const fs::path name = databases->path().filename();
        if (auto failed = copyInto(databases->path(), to / kIndexedDB / name, "an IndexedDB database")) return failed;
    }
    if (error) return MoveError{"reading the IndexedDB folder", error};
    return std::nullopt;
}

}  // namespace

std::string originFolderName(std::string_view origin, std::string_view salt) {
    GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(checksum, reinterpret_cast<const guchar*>(origin.data()), static_cast<gssize>(origin.size()));
    g_checksum_update(checksum, reinterpret_cast<const guchar*>(salt.data()), static_cast<gssize>(salt.size()));
    std::array<guint8, 32> digest{};
    gsize length = digest.size();
    g_checksum_get_digest(checksum, digest.data(), &length);
    g_checksum_free(checksum);
    // Base64URL without the fill.
    std::string name = base64Encode(std::string_view(reinterpret_cast<const char*>(digest.data()), length));
    while (!name.empty() && name.back() == '=') name.pop_back();
    for (char& c : name) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return name;
}

std::string originFileText(std::string_view scheme, std::string_view host) {
    std::string one;
    for (std::string_view text : {scheme, host}) {
        for (int shift = 0; shift < 32; shift += 8) one += static_cast<char>(text.size() >> shift & 0xff);
        one += '\1';
        one += text;
    }
    one += '\0';
    return one + one;
}

StoredDataMoveOutcome moveStoredPageData(const fs::path& dataFolder, const std::function<void(std::string_view)>& log) {
    std::error_code error;
    const fs::path marker = dataFolder / kStoredDataMovedMarker;
    if (fs::exists(marker, error)) return StoredDataMoveOutcome::AlreadyDone;
    // No salt: WebKit has never stored anything here (a fresh home), and nothing is written.
    const fs::path storage = dataFolder / "storage";
    const std::optional<std::string> salt = readFile(storage / "salt");
    if (!salt || salt->empty()) return StoredDataMoveOutcome::NothingToMove;

    const fs::path from = originFolder(storage, kFileOrigin, *salt);
    if (!fs::is_directory(from / kLocalStorage, error) && !fs::is_directory(from / kIndexedDB, error)) {
        // A later launch need not look again; should the marker not be written, it looks again.
        writeFile(marker, "");
        return StoredDataMoveOutcome::NothingToMove;
    }
    if (auto failed = copyOrigin(from, originFolder(storage, kPageOrigin, *salt))) {
        log(std::string(kNotMoved) + failed->what + ": " + failed->code.message());
        return StoredDataMoveOutcome::Failed;
    }
    if (auto failed = writeFile(marker, "")) {
        log(std::string(kNotMoved) + "writing the marker: " + failed.message());
        return StoredDataMoveOutcome::Failed;
    }
    log("stored page data of the earlier release (localStorage, IndexedDB) moved to " + std::string(kPageOrigin));
    return StoredDataMoveOutcome::Moved;
}

}  // namespace nerix
