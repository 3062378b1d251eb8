#include "replies.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>

#include "relay.hpp"
#include "replay.hpp"
#include "report/json_text.hpp"

namespace corvanelle::stub {
namespace {

// A failure reply is small: it echoes a request id of at most this many bytes, and a message
// that names at most a file name and a system error.
constexpr std::size_t kEchoedIdLimit = 4096;
constexpr std::size_t kFailureReplyCost = 6 * kEchoedIdLimit + 2048;

Reply too_large(std::string_view request_id) {
    return failure_reply(request_id, "STUB_REPLY_TOO_LARGE",
                         "the reply would be longer than the frame limit of " +
                             std::to_string(kFrameLimit) + " bytes");
}

Reply empty_file(std::string_view request_id) {
    return failure_reply(request_id, "STUB_REPLY_EMPTY",
                         "the reply file for this command is empty");
}

std::string reply_file(std::string_view name) {
    return "the reply file " + std::string(name);
}

// What a file that should answer and cannot be read tells the client and the log.
Reply unreadable(Connection& c, std::string_view request_id, const std::string& what, int error) {
    return unreadable_file(
        c, request_id, what,
        error == 0 ? std::string("it is not a plain file") : os_error_message(error));
}

Reply bad_request(const RequestParts& request) {
    return failure_reply(request.request_id, "STUB_BAD_REQUEST",
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

std::optional<Reply> hang_up(Connection& /*c*/, const RequestParts* /*request*/) {
    return of_form(Reply::Form::hang_up);
}

std::optional<Reply> hold_unread(Connection& /*c*/, const RequestParts* /*request*/) {
    return of_form(Reply::Form::hold_unread);
}

std::optional<Reply> read_only(Connection& /*c*/, const RequestParts* /*request*/) {
    return of_form(Reply::Form::silence);
}

std::optional<Reply> raw_bytes(Connection& c, const RequestParts* /*request*/) {
    return of_form(Reply::Form::raw, c.host.settings.raw_bytes);
}

std::optional<Reply> reply_payload(Connection& c, const RequestParts* /*request*/) {
    return of_form(Reply::Form::frame, c.host.settings.reply_payload);
}

// The replies folder's file for the command: a plain file directly inside it, never through
// a symbolic link. Only a file that is not there means that the folder has no answer.
std::optional<Reply> canned(Connection& c, const RequestParts* request) {
    if (!request->well_formed || !is_reply_file_name(request->command)) {
        return std::nullopt;
    }
    const std::string name = std::string(request->command) + ".json";
    Descriptor file(::openat(c.host.settings.replies_folder.get(), name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.is_open()) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return unreadable(c, request->request_id, reply_file(name), errno);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        return unreadable(c, request->request_id, reply_file(name), errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return unreadable(c, request->request_id, reply_file(name),
                          S_ISDIR(info.st_mode) ? EISDIR : 0);
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    if (size == 0) {
        return empty_file(request->request_id);
    }
    if (size > kFrameLimit) {
        return too_large(request->request_id);
    }
    Reply reply;
    reply.file = std::move(file);
    reply.file_size = size;
    reply.echoed_id = echoed(request->request_id);
    reply.file_name = name;
    return reply;
}

std::optional<Reply> failure(Connection& /*c*/, const RequestParts* request) {
    if (!request->well_formed) {
        return bad_request(*request);
    }
    return failure_reply(request->request_id, "STUB_FAILURE", "the stand-in host was told to fail");
}

// The default: the request's command and arguments echoed, into room that was charged.
std::optional<Reply> echo(Connection& /*c*/, const RequestParts* request) {
    if (!request->well_formed) {
        return bad_request(*request);
    }
    Reply reply;
    TextOut& out = reply.made;
    (void)out.room(reply_cost(request->size));
    out.put(R"({"data":{"arguments":[)");
    bool first = true;
    request->arguments->for_each_element([&](Document::Value item) {
        if (!first) {
            out.put(',');
        }
        first = false;
        append_string(item.text(), out);
    });
    out.put(R"(],"command":)");
    append_string(request->command, out);
    out.put(R"(},"debugLogs":[],"error":null,"requestId":)");
    append_string(request->request_id, out);
    out.put(R"(,"success":true})");
    if (out.view().size() > kFrameLimit) {
        return too_large(request->request_id);
    }
    return reply;
}

struct ReplySource {
    std::optional<Option> option;  // the option that turns it on; none: always on
    bool before_reading;           // answers without a request
    std::optional<Reply> (*answer)(Connection&, const RequestParts*);
};

// In the order they are asked.
constexpr std::array kReplySources{
    ReplySource{Option::hang_up, true, hang_up},
    ReplySource{Option::no_read, true, hold_unread},
    ReplySource{Option::no_reply, false, read_only},
    ReplySource{Option::raw, false, raw_bytes},
    ReplySource{Option::forward, false, forwarded},
    ReplySource{Option::replay, false, replayed},
    ReplySource{Option::reply, false, reply_payload},
    ReplySource{Option::replies, false, canned},
    ReplySource{Option::fail, false, failure},
    ReplySource{std::nullopt, false, echo},
};

std::optional<Reply> first_answer(Connection& c, const RequestParts* request) {
    for (const ReplySource& source : kReplySources) {
        if (source.before_reading == (request == nullptr) &&
            (!source.option || c.host.settings.given.has(*source.option))) {
            if (auto reply = source.answer(c, request)) {
                return reply;
            }
        }
    }
    return std::nullopt;
}

// A recorded reply with the secrets --redact names put back where their values are known,
// charged first; one that would be too long for a frame is answered as such.
bool restore_secrets(Connection& c, Reply& reply) {
    const Redaction& redaction = c.host.settings.redaction;
    if (!redaction.active()) {
        return true;
    }
    const std::size_t size = reply.read.size;
    if (!c.charge.reserve(redaction.most_held(size, kFrameLimit))) {
        c.host.log.add("! closed unanswered: a recorded reply of " + std::to_string(size) +
                       " bytes found no room in the memory budget in time to restore its "
                       "secrets");
        return false;
    }
    auto restored = redaction.restore(reply.read.view(), kFrameLimit);
    if (!restored) {
        reply = too_large(reply.echoed_id);
    } else if (*restored) {
        reply.read = OwnedText::copy_of(**restored);
    }
    return true;
}

}  // namespace

std::string_view echoed(std::string_view request_id) {
    return request_id.size() <= kEchoedIdLimit ? request_id : std::string_view(kNothing);
}

// Keys in the order the compact writer puts them.
Reply failure_reply(std::string_view request_id, std::string_view code, std::string_view message) {
    Reply reply;
    TextOut& out = reply.made;
    (void)out.room(kFailureReplyCost);
    out.put(R"({"data":null,"debugLogs":[],"error":{"code":)");
    append_string(code, out);
    out.put(R"(,"message":)");
    append_string(message, out);
    out.put(R"(},"requestId":)");
    append_string(echoed(request_id), out);
    out.put(R"(,"success":false})");
    return reply;
}

Reply unreadable_file(Connection& c, std::string_view request_id, const std::string& what,
                      const std::string& why) {
    const std::string message = what + " cannot be read: " + why;
    c.host.log.add("! " + message);
    return failure_reply(request_id, "STUB_REPLY_UNREADABLE", message);
}

RequestParts parts_of(const Document& request, std::size_t size) {
    RequestParts parts;
    parts.size = size;
    const Document::Value root = request.root();
    if (root.kind() != Document::Kind::object) {
        return parts;
    }
    Document::Value member = root;
    const bool has_id = root.find("requestId", member) && member.kind() == Document::Kind::string;
    if (has_id) {
        parts.request_id = member.text();
    }
    Document::Value command = root;
    Document::Value arguments = root;
    if (!root.find("command", command) || command.kind() != Document::Kind::string ||
        !root.find("arguments", arguments) || arguments.kind() != Document::Kind::array) {
        return parts;
    }
    bool all_strings = true;
    arguments.for_each_element([&](Document::Value item) {
        all_strings = all_strings && item.kind() == Document::Kind::string;
    });
    parts.well_formed = all_strings && has_id;
    parts.command = command.text();
    parts.arguments = arguments;
    return parts;
}

std::optional<Reply> reply_before_reading(Connection& connection) {
    return first_answer(connection, nullptr);
}

Reply choose_reply(Connection& connection, const RequestParts& request) {
    return *first_answer(connection, &request);  // the echo always answers
}

bool complete_reply(Connection& c, Reply& reply) {
    if (!reply.file.is_open()) {
        return true;
    }
    const std::size_t size = reply.file_size;
    // One byte more than measured shows a reply file that grew since; a recording's reply is
    // the very bytes found at start.
    const std::size_t wanted = reply.recorded ? size : size + 1;
    if (!c.charge.reserve(wanted)) {
        c.host.log.add("! closed unanswered: a reply file of " + std::to_string(size) +
                       " bytes found no room in the memory budget in time");
        return false;
    }
    reply.read = OwnedText::uninitialised(wanted);
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < wanted &&
           ((n = ::pread(reply.file.get(), reply.read.data.get() + got, wanted - got,
                         static_cast<off_t>(reply.file_offset + got))) > 0 ||
            (n < 0 && errno == EINTR))) {
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    const int error = n < 0 ? errno : 0;
    reply.file.close();
    reply.read.size = got;
    if (error == 0 && got > 0 && got <= size && (!reply.recorded || got == size)) {
        return !reply.recorded || restore_secrets(c, reply);
    }
    reply.read = OwnedText();
    const std::string what =
        reply.recorded ? "the recording " + reply.file_name : reply_file(reply.file_name);
    if (error != 0 || reply.recorded) {
        reply = unreadable_file(c, reply.echoed_id, what,
                                error != 0 ? os_error_message(error)
                                           : std::string("it changed since the host started"));
    } else {
        reply = got == 0 ? empty_file(reply.echoed_id) : too_large(reply.echoed_id);
    }
    return true;
}

bool is_reply_file_name(std::string_view command) {
    constexpr std::size_t kLongestName = 250;  // with ".json", within any file system's limit
    return !command.empty() && command.size() <= kLongestName && command != "." &&
           command != ".." &&
           command.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace corvanelle::stub
