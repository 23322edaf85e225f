#include "app/info_dictionary.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

#include <plist/plist.h>

namespace nerix {

InfoDictionary InfoDictionary::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(bytes);
}

InfoDictionary InfoDictionary::parse(const std::string& bytes) {
    InfoDictionary dictionary;
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return dictionary;
    const auto length = static_cast<uint32_t>(bytes.size());

    plist_t root = nullptr;
    if (plist_is_binary(bytes.data(), length))
        plist_from_bin(bytes.data(), length, &root);
    else
        plist_from_xml(bytes.data(), length, &root);
    if (!root) return dictionary;

    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(root, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(root, it, &key, &value);
            if (!key) break;
            if (value && plist_get_node_type(value) == PLIST_STRING) {
                char* text = nullptr;
                plist_get_string_val(value, &text);
                if (text) dictionary.strings_[key] = text;
                std::free(text);
            }
            std::free(key);
        }
        std::free(it);
    }
    plist_free(root);
    return dictionary;
}

std::optional<std::string> InfoDictionary::text(const std::string& key) const {
    auto found = strings_.find(key);
    if (found == strings_.end()) return std::nullopt;
    return found->second;
}

}  // namespace nerix
