#include "app/page_message.h"

#include <nlohmann/json.hpp>

namespace nerix {

namespace {

using nlohmann::json;

// A field of `args` that must be a string when present; `absolute`: an absolute path too.
Result<std::optional<std::string>> optionalText(const json& args, const char* call, const char* field,
                                                bool absolute = false) {
    auto found = args.find(field);
    if (found == args.end() || found->is_null()) return std::optional<std::string>();
    if (!found->is_string()) return fail(std::string(call) + ": " + field + " is not a string");
    std::string text = found->get<std::string>();
    if (text.find('\0') != std::string::npos) return fail(std::string(call) + ": " + field + " holds a NUL");
    if (absolute && !text.starts_with('/')) return fail(std::string(call) + ": " + field + " is not an absolute path");
    return std::optional<std::string>(std::move(text));
}

Result<std::vector<std::string>> texts(const json& filter, const char* field) {
    std::vector<std::string> out;
    auto found = filter.find(field);
    if (found == filter.end()) return out;
    if (!found->is_array()) return fail(std::string("filter ") + field + " is not a list");
    for (const json& item : *found) {
        if (!item.is_string() || item.get<std::string>().empty())
            return fail(std::string("filter ") + field + " holds something other than text");
        out.push_back(item.get<std::string>());
    }
    return out;
}

Result<std::vector<FileFilter>> filters(const json& args, const char* call) {
    std::vector<FileFilter> out;
    auto found = args.find("filters");
    if (found == args.end() || found->is_null()) return out;
    if (!found->is_array()) return fail(std::string(call) + ": filters is not a list");
    for (const json& item : *found) {
        if (!item.is_object()) return fail(std::string(call) + ": a filter is not an object");
        auto name = optionalText(item, call, "name");
        if (!name) return fail(name.error());
        auto patterns = texts(item, "patterns");
        if (!patterns) return fail(std::string(call) + ": " + patterns.error().message);
        auto mimeTypes = texts(item, "mimeTypes");
        if (!mimeTypes) return fail(std::string(call) + ": " + mimeTypes.error().message);
        if (patterns->empty() && mimeTypes->empty())
            return fail(std::string(call) + ": a filter has neither patterns nor mimeTypes");
        out.push_back(FileFilter{name->value_or(""), std::move(*patterns), std::move(*mimeTypes)});
    }
    return out;
}

Result<PageMessage> dialog(const json& args, const std::string& call) {
    DialogRequest request;
    request.kind = call == "openFiles"      ? DialogRequest::Kind::OpenFiles
                   : call == "chooseFolder" ? DialogRequest::Kind::ChooseFolder
                                            : DialogRequest::Kind::SaveFile;
    auto title = optionalText(args, call.c_str(), "title");
    if (!title) return fail(title.error());
    request.title = title->value_or("");
    auto folder = optionalText(args, call.c_str(), "folder", true);
    if (!folder) return fail(folder.error());
    request.folder = *folder;
    if (request.kind == DialogRequest::Kind::SaveFile) {
        auto name = optionalText(args, call.c_str(), "name");
        if (!name) return fail(name.error());
        request.name = name->value_or("");
        if (request.name.find('/') != std::string::npos) return fail("saveFile: name holds a \"/\"");
    }
    if (request.kind == DialogRequest::Kind::OpenFiles) {
        auto multiple = args.find("multiple");
        if (multiple != args.end() && !multiple->is_null()) {
            if (!multiple->is_boolean()) return fail("openFiles: multiple is not true or false");
            request.multiple = multiple->get<bool>();
        }
    }
    if (request.kind != DialogRequest::Kind::ChooseFolder) {
        auto chosen = filters(args, call.c_str());
        if (!chosen) return fail(chosen.error());
        request.filters = std::move(*chosen);
    }
    return PageMessage(std::move(request));
}

// JSON text of a string, as JavaScript reads it too (U+2028 and U+2029 are escaped by nothing
// in JSON, and are plain characters in a string literal since ES2019).
std::string jsonText(std::string_view text) {
    return json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
}

// The page's side of the channel, window.vantorel; @HANDLER@ and @KEY@ stand for the message
// handler's name and the key every message carries.
constexpr std::string_view kChannelScript = R"JS((() => {
  const handlers = window.webkit && window.webkit.messageHandlers;
  const port = handlers && handlers[@HANDLER@];
  if (!port) return;
  const key = @KEY@;
  const send = (call, args) => port.postMessage({ key, call, args: args || {} });
  const events = new EventTarget();
  let listening = false;
  // Files from another program may show only as a URI list until they are dropped.
  const isFileDrag = (event) => !!event.dataTransfer &&
    Array.from(event.dataTransfer.types).some((type) => type === 'Files' || type === 'text/uri-list');
  // Every drop of files is the page's: never a navigation to the file.
  window.addEventListener('dragover', (event) => {
    if (!isFileDrag(event)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = 'copy';
  });
  window.addEventListener('dragenter', (event) => { if (isFileDrag(event)) event.preventDefault(); });
  window.addEventListener('drop', (event) => {
    if (!isFileDrag(event)) return;
    const detail = { target: event.target, clientX: event.clientX, clientY: event.clientY };
    send('dropped').then((paths) => {
      if (paths && paths.length) events.dispatchEvent(new CustomEvent('drop', { detail: { ...detail, paths } }));
    });
  }, true);
  window.addEventListener('drop', (event) => { if (isFileDrag(event)) event.preventDefault(); });
  window.vantorel = Object.freeze({
    version: 1,
    openFiles: (options) => send('openFiles', options),
    chooseFolder: (options) => send('chooseFolder', options),
    saveFile: (options) => send('saveFile', options),
    showInFiles: (path) => send('showInFiles', { path }),
    openFile: (path) => send('openFile', { path }),
    addEventListener(type, listener, options) {
      events.addEventListener(type, listener, options);
      if (type !== 'open' || listening) return;
      listening = true;
      // Files opened with the application before the page listened come as the answer.
      send('listen').then((paths) => {
        if (paths && paths.length) events.dispatchEvent(new CustomEvent('open', { detail: { paths } }));
      });
    },
    removeEventListener: (type, listener, options) => events.removeEventListener(type, listener, options),
    _receive: (type, paths) => events.dispatchEvent(new CustomEvent(type, { detail: { paths } })),
  });
})();
)JS";

}  // namespace

Result<PageMessage> readPageMessage(std::string_view text, std::string_view key) {
    const json message = json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return fail("the message is not an object");
    auto givenKey = message.find("key");
    if (givenKey == message.end() || !givenKey->is_string() || givenKey->get<std::string>() != key)
        return fail("the message does not carry the channel's key");
    auto callField = message.find("call");
    if (callField == message.end() || !callField->is_string()) return fail("the message names no call");
    const std::string call = callField->get<std::string>();
    json args = json::object();
    if (auto found = message.find("args"); found != message.end() && !found->is_null()) {
        if (!found->is_object()) return fail(call + ": the arguments are not an object");
        args = *found;
    }
    if (call == "openFiles" || call == "chooseFolder" || call == "saveFile") return dialog(args, call);
    if (call == "showInFiles" || call == "openFile") {
        auto path = optionalText(args, call.c_str(), "path", true);
        if (!path) return fail(path.error());
        if (!*path) return fail(call + ": no path");
        return PageMessage(FileRequest{
            call == "showInFiles" ? FileRequest::Kind::ShowInFiles : FileRequest::Kind::OpenFile, std::move(**path)});
    }
    if (call == "listen") return PageMessage(ListenRequest{});
    if (call == "dropped") return PageMessage(DropRequest{});
    return fail("no such call: " + call.substr(0, 40));
}

bool fromOwnPage(std::string_view pageUri, std::string_view ownPrefix) {
    return !ownPrefix.empty() && pageUri.starts_with(ownPrefix);
}

std::string pathsJson(const std::vector<std::string>& paths) {
    return json(paths).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string pathJson(const std::string& path) { return jsonText(path); }

std::string pageEventScript(std::string_view type, const std::vector<std::string>& paths) {
    return "window.vantorel && window.vantorel._receive(" + jsonText(type) + ", " + pathsJson(paths) + ");";
}

std::string channelScript(std::string_view handler, std::string_view key) {
    std::string script(kChannelScript);
    auto put = [&](std::string_view mark, const std::string& value) {
        script.replace(script.find(mark), mark.size(), value);
    };
    put("@HANDLER@", jsonText(handler));
    put("@KEY@", jsonText(key));
    return script;
}

}  // namespace nerix
