#pragma once

#include <filesystem>

namespace nerix {

// The application's own files lie beside its executable:
//   <bundle>/bin/vantorel
//   <bundle>/share/vantorel/Info.plist
//   <bundle>/share/vantorel/Web/index.html
// so a bundle can be moved, or installed under any prefix, as a whole.

// The resource folder for an executable at `executable`: <its folder>/../share/vantorel.
std::filesystem::path resourceFolderFor(const std::filesystem::path& executable);

// The resource folder of the running program, found through /proc/self/exe; empty when that
// cannot be read.
std::filesystem::path resourceFolder();

// The Info.plist of a resource folder.
std::filesystem::path infoPlistPath(const std::filesystem::path& resourceFolder);

}  // namespace nerix
