#include "replies.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <array>
#include <cerrno>

#include "relay.hpp"
#include "replay.hpp"
#include "report/json_text.hpp"

namespace corvanelle::stub {
namespace {

std::string reply_file(std::string_view name) {
    return "the reply file " + std::string(name);
}

// What a file that should answer and cannot be read tells the client and the log.
Reply unreadable(std::string_view request_id, std::string_view name, int error) {
    return unreadable_file(
        request_id, reply_file(name),
        error == 0 ? std::string("it is not a plain file") : os_error_message(error));
}

Reply bad_request(const RequestParts& request) {
    return failure_reply(request.request_id, Code::bad_request,
                         "the request is not an object with a string requestId, a string command "
                         "and an array of string arguments");
}

Reply of_form(Reply::Form form, std::string_view shared = {}) {
    Reply reply;
    reply.form = form;
    reply.shared = shared;
    return reply;
}

// The sources, each for its option. A source that has no answer for this request passes it on.

std::optional<Reply> hang_up(Connection& /*c*/, Asked& /*asked*/) {
    return of_form(Reply::Form::hang_up);
}

std::optional<Reply> hold_unread(Connection& /*c*/, Asked& /*asked*/) {
    return of_form(Reply::Form::hold_unread);
}

std::optional<Reply> read_only(Connection& /*c*/, Asked& /*asked*/) {
    return of_form(Reply::Form::silence);
}

std::optional<Reply> raw_bytes(Connection& c, Asked& /*asked*/) {
    return of_form(Reply::Form::raw, c.host.settings.raw_bytes);
}

std::optional<Reply> reply_payload(Connection& c, Asked& /*asked*/) {
    return of_form(Reply::Form::frame, c.host.settings.reply_payload);
}

// The replies folder's file for the command: a plain file directly inside it, never through
// a symbolic link. Only a file that is not there means that the folder has no answer.
std::optional<Reply> canned(Connection& c, Asked& asked) {
    const RequestParts& request = *asked.parts;
    if (!request.well_formed || !is_reply_file_name(request.command)) {
        return std::nullopt;
    }
    const std::string name = std::string(request.command) + ".json";
    Descriptor file(::openat(c.host.settings.replies_folder.get(), name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.is_open()) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return unreadable(request.request_id, name, errno);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        return unreadable(request.request_id, name, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return unreadable(request.request_id, name, S_ISDIR(info.st_mode) ? EISDIR : 0);
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    if (size == 0) {
        return empty_file(request.request_id);
    }
    if (size > kFrameLimit) {
        return too_large(request.request_id);
    }
    Reply reply;
    reply.slice = FileSlice{std::move(file), 0, size, std::nullopt, reply_file(name)};
    reply.echoed_id = echoed(request.request_id);
    return reply;
}

// The table's signature takes Asked unqualified: the relay moves the request's bytes out of it.
// cppcheck-suppress constParameterCallback
std::optional<Reply> failure(Connection& /*c*/, Asked& asked) {
    if (!asked.parts->well_formed) {
        return bad_request(*asked.parts);
    }
    return failure_reply(asked.parts->request_id, Code::failure,
                         "the stand-in host was told to fail");
}

// The default: the request's command and arguments echoed, into room that was charged.
std::optional<Reply> echo(Connection& /*c*/, Asked& asked) {
    const RequestParts& request = *asked.parts;
    if (!request.well_formed) {
        return bad_request(request);
    }
    Reply reply;
    TextOut& out = reply.made;
    (void)out.room(reply_cost(request.size));
    out.put(R"({"data":{"arguments":[)");
    bool first = true;
    request.arguments->for_each_element([&](Document::Value item) {
        if (!first) {
            out.put(',');
        }
        first = false;
        append_string(item.text(), out);
    });
    out.put(R"(],"command":)");
    append_string(request.command, out);
    out.put(R"(},"debugLogs":[],"error":null,"requestId":)");
    append_string(request.request_id, out);
    out.put(R"(,"success":true})");
    if (out.view().size() > kFrameLimit) {
        return too_large(request.request_id);
    }
    return reply;
}

enum class Stage {
    before_reading,  // answers without a request
    with_request,    // asked while the request lives
    once_gone,       // asked once the request's memory has gone back, with its bytes
};

struct ReplySource {
    std::optional<Option> option;  // the option that turns it on; none: always on
    Stage stage;
    std::optional<Reply> (*answer)(Connection&, Asked&);
};

// In the order they are asked. A source asked once the request is gone takes what the ones
// before it left, so none after it is asked.
constexpr std::array kReplySources{
    ReplySource{Option::hang_up, Stage::before_reading, hang_up},
    ReplySource{Option::no_read, Stage::before_reading, hold_unread},
    ReplySource{Option::no_reply, Stage::with_request, read_only},
    ReplySource{Option::raw, Stage::with_request, raw_bytes},
    ReplySource{Option::replay, Stage::with_request, replayed},
    ReplySource{Option::forward, Stage::once_gone, relayed},
    ReplySource{Option::reply, Stage::with_request, reply_payload},
    ReplySource{Option::replies, Stage::with_request, canned},
    ReplySource{Option::fail, Stage::with_request, failure},
    ReplySource{std::nullopt, Stage::with_request, echo},
};

bool is_on(const Connection& c, const ReplySource& source) {
    return !source.option || c.host.settings.given.has(*source.option);
}

// The first answer of the sources of `stage`, up to the first source of a later stage.
std::optional<Reply> first_answer(Connection& c, Stage stage, Asked& asked) {
    for (const ReplySource& source : kReplySources) {
        if (!is_on(c, source) || source.stage < stage) {
            continue;
        }
        if (source.stage > stage) {
            return std::nullopt;
        }
        if (auto reply = source.answer(c, asked)) {
            return reply;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<Reply> reply_before_reading(Connection& connection) {
    Asked asked;
    return first_answer(connection, Stage::before_reading, asked);
}

std::optional<Reply> reply_to(Connection& connection, const RequestParts& request) {
    Asked asked;
    asked.parts = &request;
    return first_answer(connection, Stage::with_request, asked);
}

Reply reply_once_gone(Connection& connection, Asked asked) {
    // The sources asked now always answer.
    return *first_answer(connection, Stage::once_gone, asked);
}

bool is_reply_file_name(std::string_view command) {
    constexpr std::size_t kLongestName = 250;  // with ".json", within any file system's limit
    return !command.empty() && command.size() <= kLongestName && command != "." &&
           command != ".." &&
           command.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace corvanelle::stub
