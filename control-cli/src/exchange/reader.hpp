// Reading one frame payload into a JSON value, under the client's reading rules: the client
// reads the desktop application's reply with it, and the stand-in host a client's request.
#pragma once

#include <cstddef>
#include <string_view>

#include "shared/document.hpp"
#include "shared/result.hpp"

namespace corvanelle {

// Deepest nesting of arrays and objects a text may have.
inline constexpr std::size_t kMaxNesting = 127;

// One complete JSON text, optionally surrounded by white space. A failure reads
// "{description} at line {L} column {C}" and never quotes the text's own bytes. The document
// keeps `payload`: its strings point into it where they need no unescaping.
Result<Document> read_json_text(OwnedText payload);
// The same, from a copy of `payload`.
Result<Document> read_json_text(std::string_view payload);

}  // namespace corvanelle
