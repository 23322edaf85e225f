#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.h"

namespace nerix {

// What the page may ask the application through window.vantorel, checked before anything is
// done: one of the calls below, each with the argument types it documents, and the launch's
// channel key, which only the user script of the application's own page holds (a frame of
// another origin inside the page can reach the message handler, but never the key).

// A dialog's filter: "WAV audio" with *.wav and audio/x-wav.
struct FileFilter {
    std::string name;
    std::vector<std::string> patterns;
    std::vector<std::string> mimeTypes;
    bool operator==(const FileFilter&) const = default;
};

// openFiles / chooseFolder / saveFile: a title, a starting folder, a suggested name (save).
struct DialogRequest {
    enum class Kind { OpenFiles, ChooseFolder, SaveFile };
    Kind kind = Kind::OpenFiles;
    std::string title;
    std::optional<std::string> folder;  // absolute
    std::string name;                   // saveFile only
    bool multiple = false;              // openFiles only
    std::vector<FileFilter> filters;    // openFiles and saveFile
    bool operator==(const DialogRequest&) const = default;
};

// showInFiles / openFile: one absolute path.
struct FileRequest {
    enum class Kind { ShowInFiles, OpenFile };
    Kind kind = Kind::ShowInFiles;
    std::string path;
    bool operator==(const FileRequest&) const = default;
};

// The page listens for the files opened with the application: those kept for it arrive now.
struct ListenRequest {
    bool operator==(const ListenRequest&) const = default;
};

// The paths of the files just dropped on the page, asked for by the user script's drop handler.
struct DropRequest {
    bool operator==(const DropRequest&) const = default;
};

using PageMessage = std::variant<DialogRequest, FileRequest, ListenRequest, DropRequest>;

// The message as JSON text ({"key", "call", "args"}), checked against `key`. The error names what
// is wrong ("openFiles: title is not a string"), for the page's rejected promise and the log.
Result<PageMessage> readPageMessage(std::string_view text, std::string_view key);

// A message counts only from a page whose URI starts with `ownPrefix` ("vantorel://app/").
bool fromOwnPage(std::string_view pageUri, std::string_view ownPrefix);

// A JSON array of strings, the answer of a call that returns paths; a JSON string for one. A
// byte that is not UTF-8 becomes U+FFFD.
std::string pathsJson(const std::vector<std::string>& paths);
std::string pathJson(const std::string& path);

// The JavaScript that hands the page an event of window.vantorel ("open", "drop") with `paths`.
std::string pageEventScript(std::string_view type, const std::vector<std::string>& paths);

// The user script of the window's own page: defines window.vantorel on top of the message
// handler named `handler`, with `key` kept out of the page's reach.
std::string channelScript(std::string_view handler, std::string_view key);

}  // namespace nerix
