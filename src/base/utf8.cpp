#include "base/utf8.h"

#include <simdjson.h>

namespace nerix::utf8 {

bool isValid(std::string_view text) noexcept { return simdjson::validate_utf8(text.data(), text.size()); }

}  // namespace nerix::utf8
