// What a reply source is asked about: the request's members that replies echo and that the
// replayer matches, read from the parsed request while it lives.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "shared/document.hpp"
#include "shared/owned_text.hpp"

namespace corvanelle::stub {

constexpr char kNothing[] = "";

// The request's members, when they have the kinds a client sends: a string command, a string
// id and an array of strings. Valid while the request lives.
struct RequestParts {
    std::size_t size = 0;  // of the request's text
    bool well_formed = false;
    // Never a null view: the writer copies from them.
    std::string_view command = kNothing;
    std::string_view request_id = kNothing;
    std::optional<Document::Value> arguments;  // an array, of any values
    std::optional<Document::Value> root;       // the request itself
};

RequestParts parts_of(const Document& request, std::size_t size);

// What a reply source is asked about.
struct Asked {
    const RequestParts* parts = nullptr;  // while the request lives
    OwnedText request;                    // once it is gone: its own bytes, not yet logged
    std::string echoed_id;                // once it is gone
};

}  // namespace corvanelle::stub
