// Where a connection's reply comes from. Each reply option is one row of the table of reply
// sources (replies.cpp) and one function: the first source that is on and answers, answers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/frame.hpp"
#include "host.hpp"
#include "report/output.hpp"
#include "shared/descriptor.hpp"
#include "shared/owned_text.hpp"

namespace corvanelle::stub {

// The longest --raw file: it sends broken frames on purpose, up to twice the frame limit.
inline constexpr std::size_t kRawLimit = 2 * kFrameLimit;

constexpr char kNothing[] = "";

// The request's members that replies echo, when they have the kinds a client sends: a string
// command, a string id and an array of strings. Valid while the request lives.
struct RequestParts {
    std::size_t size = 0;  // of the request's text
    bool well_formed = false;
    // Never a null view: the writer copies from them.
    std::string_view command = kNothing;
    std::string_view request_id = kNothing;
    std::optional<Document::Value> arguments;
};

RequestParts parts_of(const Document& request, std::size_t size);

struct Reply {
    enum class Form {
        frame,        // the bytes as one frame
        raw,          // the bytes as they are
        silence,      // nothing: the connection is held, read and dropped, until the client closes
        hold_unread,  // nothing, and nothing read, until the client closes
        hang_up,      // closed at once
        relay,        // the application's reply to the request, once asked (relay.hpp)
    };
    Form form = Form::frame;
    std::string_view shared;  // bytes the settings hold (--reply, --raw)
    TextOut made;             // or a reply made for this request
    OwnedText read;           // or a reply file, once read
    Descriptor file;          // a reply file still to be read: file_size bytes at file_offset
    std::size_t file_offset = 0;
    std::size_t file_size = 0;
    bool recorded = false;  // a recording's reply, of exactly file_size bytes
    std::string file_name;  // of that file, in its folder
    std::string echoed_id;  // for a failure reply made once the request is gone
    OwnedText request;      // the request's own bytes, for the relay

    [[nodiscard]] std::string_view bytes() const {
        if (read.data) {
            return read.view();
        }
        return made.view().empty() ? shared : made.view();
    }
};

// The request id as failure replies echo it: nothing when it is too long to.
std::string_view echoed(std::string_view request_id);

// A reply that says the request failed: `code` and `message`, and the request's id if it is
// not too long to echo. Small, whatever the request: its room is within a connection's own.
Reply failure_reply(std::string_view request_id, std::string_view code, std::string_view message);
// The failure reply for a file that should answer and cannot be read, `what` naming it and
// `why` saying why; the log is told too.
Reply unreadable_file(Connection& c, std::string_view request_id, const std::string& what,
                      const std::string& why);

// A reply decided before anything is read (--hang-up, --no-read), if there is one.
std::optional<Reply> reply_before_reading(Connection& connection);
// The reply to a request, made now while the request lives (a reply file is only opened).
Reply choose_reply(Connection& connection, const RequestParts& request);
// Once the request is gone: reads a reply file that choose_reply opened, charged first.
// False when the budget had no room for it in time (the connection is then closed).
bool complete_reply(Connection& connection, Reply& reply);

// Opens the --replies folder and reads the --reply and --raw files, at set-up.
Status read_reply_options(Settings& settings);

// Whether a command word may name a file of the replies folder: no "/", no NUL, not "." or
// "..", not empty, and short enough for a file name.
bool is_reply_file_name(std::string_view command);

}  // namespace corvanelle::stub
