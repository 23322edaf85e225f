#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace nerix {

// The configuration values of the application's Info.plist (XML or binary property list).
// Only the string values of the top-level dictionary are kept: a key whose value is of
// another type reads the same as an absent key.
class InfoDictionary {
public:
    // A file that is missing or not a property list with a dictionary at the top gives an
    // empty dictionary.
    static InfoDictionary load(const std::filesystem::path& file);
    static InfoDictionary parse(const std::string& bytes);

    // The text of `key`, or nullopt when it is absent or not text.
    std::optional<std::string> text(const std::string& key) const;

private:
    std::map<std::string, std::string> strings_;
};

}  // namespace nerix
