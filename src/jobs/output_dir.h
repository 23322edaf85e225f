#pragma once

#include <string>

namespace nerix {

// Where compose jobs put their output: "Nerix" in the user's Music folder. The Music folder
// is XDG_MUSIC_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config), else the home
// folder joined with "Music". Worked out afresh at every call; creates nothing.
std::string userNerixOutputDir();

}  // namespace nerix
