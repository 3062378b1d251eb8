// A reply as a value: what a connection sends (bytes, a slice of a file still to be read, or
// nothing at all), made by a reply source (replies.hpp). Here too, at the bottom of the host's
// rooms so that every source uses them: the failure replies and the one table of the host's
// own error codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/output.hpp"
#include "shared/descriptor.hpp"
#include "shared/owned_text.hpp"

namespace corvanelle::stub {

// The host's own error codes, each a failure reply's "code"; kCodes in reply.cpp names them.
enum class Code : std::uint8_t {
    bad_request,
    failure,
    reply_too_large,
    reply_empty,
    reply_unreadable,
    not_recorded,
    application_unreachable,
    application_timeout,
    application_broken,
    memory_budget,
};
std::string_view code_name(Code code);

// A file's bytes still to be read, once the request's memory has gone back: a reply file of
// the --replies folder (at most `size` bytes, checked when read), or a recording's reply (exactly
// `size` bytes, whose digest must be the one found at start).
struct FileSlice {
    Descriptor file;
    std::size_t offset = 0;
    std::size_t size = 0;
    std::optional<std::uint64_t> digest;  // a recording's reply
    std::string what;                     // the file, as a message names it
};

struct Reply {
    enum class Form {
        frame,        // the bytes as one frame
        raw,          // the bytes as they are
        silence,      // nothing: the connection is held, read and dropped, until the client closes
        hold_unread,  // nothing, and nothing read, until the client closes
        hang_up,      // closed at once
    };
    Form form = Form::frame;
    std::string_view shared;         // bytes the settings hold (--reply, --raw)
    TextOut made;                    // or bytes made for this request
    OwnedText owned;                 // or bytes read for it (a file, the application)
    std::optional<FileSlice> slice;  // or a file's bytes, still to be read into `owned`
    std::string echoed_id;           // for a failure reply made once the request is gone
    std::string note;                // a "! " line for the log, after the request's own

    [[nodiscard]] std::string_view bytes() const {
        if (owned.data) {
            return owned.view();
        }
        return made.view().empty() ? shared : made.view();
    }
};

// The request id as failure replies echo it: nothing when it is too long to.
std::string_view echoed(std::string_view request_id);

// A reply that says the request failed: `code` and `message`, and the request's id if it is
// not too long to echo. Small, whatever the request: its room is within a connection's own.
Reply failure_reply(std::string_view request_id, Code code, std::string_view message);
// The same, with the message as the reply's note for the log too.
Reply noted_failure(std::string_view request_id, Code code, const std::string& message);
// The failure reply for a file that should answer and cannot be read, `what` naming it and
// `why` saying why; the log is told too.
Reply unreadable_file(std::string_view request_id, const std::string& what, const std::string& why);
Reply too_large(std::string_view request_id);
Reply empty_file(std::string_view request_id);

// What a recording's reply is checked by: a digest of its bytes (FNV-1a, 64 bits).
std::uint64_t slice_digest(std::string_view bytes);

// Reads a reply's file slice into its bytes (room for size + 1 bytes was charged); a slice
// that cannot be read, or is not what it was, becomes the failure reply that says so.
void read_slice(Reply& reply);

}  // namespace corvanelle::stub
