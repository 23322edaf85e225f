#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace nerix {

// The release before loaded the page as a file:// URL; WebKit keys what a page stores by its
// origin, so what it kept in localStorage and IndexedDB would not be seen under vantorel://app.
// The first launch that finds it copies it over, once, before WebKit's network process starts.
//
// WebKit's layout in its data folder ($XDG_DATA_HOME/<program name>): storage/salt holds eight
// random bytes; each (top origin, origin) has storage/<T>/<O>/, where T and O are the Base64URL
// (unpadded) SHA-256 of the origin's text followed by the salt. Such a folder holds an `origin`
// file naming both origins, LocalStorage/localstorage.sqlite3 and IndexedDB/<hex SHA-256 of the
// database name>/IndexedDB.sqlite3 (with its -wal, -shm and blob files). Nothing inside the
// databases names the origin, so the files are copied as they are: every value stays exactly
// what the page stored, Blobs, Dates and ArrayBuffers included.

// The name WebKit gives an origin's folder: "file://" or "vantorel://app" with the salt's bytes.
std::string originFolderName(std::string_view origin, std::string_view salt);

// The `origin` file WebKit writes in the folder of a page whose top origin and origin are both
// scheme://host, with no port: each origin as its scheme and host (a 32-bit little-endian length,
// a byte 1 for Latin-1, the characters), then a byte 0 for no port.
std::string originFileText(std::string_view scheme, std::string_view host);

enum class StoredDataMoveOutcome {
    AlreadyDone,    // the marker is there: nothing read, nothing written
    NothingToMove,  // no file:// data (the marker is written when WebKit's storage folder exists)
    Moved,          // copied, the marker written; the file:// folder is left as it was
    Failed,         // logged; no marker, so the next launch tries again
};

// The marker, in the data folder, that says the move is done.
inline constexpr std::string_view kStoredDataMovedMarker = "page-data-moved-to-vantorel-app";

// Moves the file:// page's LocalStorage and each of its IndexedDB databases into the page's
// origin, unless the origin already has its own (a page that ran after a failed move keeps what
// it stored). Each is copied beside its place and renamed into it, so an interrupted copy never
// looks like data. A move logs one line, as does a failure ("...: <what failed>: <reason>",
// without paths or stored values).
StoredDataMoveOutcome moveStoredPageData(const std::filesystem::path& dataFolder,
                                         const std::function<void(std::string_view)>& log);

}  // namespace nerix
