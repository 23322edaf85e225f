#pragma once

#include <optional>
#include <string>

namespace nerix {

// Turns the user's name for a piece into a file-name stem that is safe as one path
// component: letters, marks, numbers, "-" and "_" stay, every other code point becomes one
// "-", "-" is trimmed at both ends, and the rest is cut to 80 characters (extended grapheme
// clusters) and, at a character boundary, to 239 bytes, so that every file name made from it
// fits in 255 bytes. A name that had to be cut ends in "-" and eight hex digits of a hash of the
// whole name, within those limits, so that names that differ only behind the cut get different
// stems. Absent when nothing is left. A byte that is not valid UTF-8 counts as one
// replaced code point.
std::optional<std::string> sanitizeStem(const std::optional<std::string>& name);

}  // namespace nerix
