// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF): the arguments and the socket variable must be.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvanelle {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// At most `most` bytes of the text, cut where a character starts.
std::string_view utf8_prefix(std::string_view text, std::size_t most);

}  // namespace corvanelle
