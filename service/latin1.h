// Latin-1, the register's and the sales file's encoding, and UTF-8, everyone else's: the
// conversion at the edges where texts cross from one to the other.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cassardd {

// UTF-8 to Latin-1; nothing when a character has no Latin-1 form or the text is not UTF-8.
std::optional<std::string> toLatin1(std::string_view utf8);
std::string fromLatin1(std::string_view bytes);

}  // namespace cassardd
