#include "app/page_media.h"

#include "app/page_origin.h"

namespace nerix {

namespace {

// The folder's URL is "http://127.0.0.1:<port>/files/<hex id>": nothing in it needs escaping
// inside a JavaScript string.
constexpr std::string_view kScript = R"js((() => {
  const folder = "@FOLDER@";
  const scheme = "@SCHEME@:", host = "@HOST@";
  const media = (element) => element instanceof HTMLMediaElement || element instanceof HTMLSourceElement;
  const served = (value) => {
    if (typeof value !== "string" || value === "") return value;
    let url;
    try { url = new URL(value, document.baseURI); } catch { return value; }
    if (url.protocol !== scheme || url.host !== host) return value;
    return folder + url.pathname + url.search + url.hash;
  };
  for (const type of [HTMLMediaElement, HTMLSourceElement]) {
    const property = Object.getOwnPropertyDescriptor(type.prototype, "src");
    Object.defineProperty(type.prototype, "src", {
      ...property,
      set(value) { property.set.call(this, served(String(value))); },
    });
  }
  const setAttribute = Element.prototype.setAttribute;
  Element.prototype.setAttribute = function (name, value) {
    if (media(this) && String(name).toLowerCase() === "src") value = served(String(value));
    return setAttribute.call(this, name, value);
  };
  const NativeAudio = window.Audio;
  const Audio = function Audio(src) {
    return src === undefined ? new NativeAudio() : new NativeAudio(served(String(src)));
  };
  Audio.prototype = NativeAudio.prototype;
  window.Audio = Audio;
  // What the HTML itself names: the parser sets attributes without the calls above.
  const point = (element) => {
    const value = element.getAttribute("src");
    const moved = served(value);
    if (moved !== value) {
      setAttribute.call(element, "src", moved);
      if (element instanceof HTMLSourceElement && element.parentElement instanceof HTMLMediaElement)
        element.parentElement.load();
    }
  };
  const visit = (node) => {
    if (!(node instanceof Element)) return;
    if (media(node)) point(node);
    for (const inner of node.querySelectorAll("audio, video, source")) point(inner);
  };
  new MutationObserver((changes) => {
    for (const change of changes) {
      if (change.type === "attributes") { if (media(change.target)) point(change.target); }
      else for (const node of change.addedNodes) visit(node);
    }
  }).observe(document, { subtree: true, childList: true, attributes: true, attributeFilter: ["src"] });
})();)js";

std::string replaced(std::string text, std::string_view marker, std::string_view value) {
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
        text.replace(at, marker.size(), value);
    return text;
}

}  // namespace

std::string mediaScript(std::string_view folderUrl) {
    std::string script = replaced(std::string(kScript), "@FOLDER@", folderUrl);
    script = replaced(std::move(script), "@SCHEME@", kPageScheme);
    return replaced(std::move(script), "@HOST@", kPageHost);
}

}  // namespace nerix
