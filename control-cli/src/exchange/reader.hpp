// Reading a reply payload into a JSON value, under the client's reading rules.
#pragma once

#include <cstddef>
#include <string_view>

#include "shared/document.hpp"
#include "shared/result.hpp"

namespace corvanelle {

// Deepest nesting of arrays and objects a reply may have.
inline constexpr std::size_t kMaxNesting = 127;

// One complete JSON text, optionally surrounded by white space. A failure reads
// "{description} at line {L} column {C}" and never quotes the reply's own bytes. The document
// keeps `payload`: its strings point into it where they need no unescaping.
Result<Document> read_reply(OwnedText payload);
// The same, from a copy of `payload`.
Result<Document> read_reply(std::string_view payload);

}  // namespace corvanelle
