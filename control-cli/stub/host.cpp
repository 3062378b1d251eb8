#include "host.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <span>
#include <thread>

#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "report/json_text.hpp"
#include "report/output.hpp"
#include "shared/document.hpp"
#include "shared/failure_texts.hpp"

namespace corvanelle::stub {
namespace {

// The request's members that the default reply echoes, when they have the kinds a client
// sends: a string command, a string id, and an array of strings.
struct RequestParts {
    bool well_formed = false;
    std::string_view command;
    std::string_view request_id;
    Document::Value arguments;
};

RequestParts parts_of(const Document& request) {
    RequestParts parts{false, {}, {}, request.root()};
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

void failure_reply(DocumentBuilder& reply, std::string_view code, std::string_view message) {
    reply.key("success");
    reply.boolean(false);
    reply.key("data");
    reply.null();
    reply.key("error");
    reply.start_object();
    reply.key("code");
    reply.string(code);
    reply.key("message");
    reply.string(message);
    reply.end();
}

std::string default_reply(const Options& options, const RequestParts& request) {
    DocumentBuilder reply;
    reply.start_object();
    reply.key("requestId");
    reply.string(request.request_id);
    reply.key("debugLogs");
    reply.start_array();
    reply.end();
    if (!request.well_formed) {
        failure_reply(reply, "STUB_BAD_REQUEST",
                      "the request is not an object with a string requestId, a string command "
                      "and an array of string arguments");
    } else if (options.fail) {
        failure_reply(reply, "STUB_FAILURE", "the stand-in host was told to fail");
    } else {
        reply.key("success");
        reply.boolean(true);
        reply.key("error");
        reply.null();
        reply.key("data");
        reply.start_object();
        reply.key("command");
        reply.string(request.command);
        reply.key("arguments");
        reply.start_array();
        request.arguments.for_each_element(
            [&](Document::Value item) { reply.string(item.text()); });
        reply.end();
        reply.end();
    }
    reply.end();
    return to_compact(reply.take());
}

// The canned reply for `command` from the replies folder: a plain file directly inside it,
// named after the command word, never through a symbolic link, at most one frame long.
std::optional<std::string> canned_reply(const Options& options, std::string_view command) {
    if (options.replies_dir < 0 || !is_reply_file_name(command)) {
        return std::nullopt;
    }
    const std::string name = std::string(command) + ".json";
    const int fd =
        ::openat(options.replies_dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    const Socket file(fd);  // closes the descriptor, whatever kind it is
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kFrameLimit) {
        return std::nullopt;
    }
    auto content = read_to_end(fd, kFrameLimit);
    return content ? std::optional<std::string>(std::move(*content)) : std::nullopt;
}

bool has_line_break(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// Waits until the client closes its end (or the host ends), reading and dropping anything.
void drain_until_closed(const Socket& socket) {
    std::array<char, 4096> sink{};
    for (;;) {
        const ssize_t n = ::recv(socket.fd(), sink.data(), sink.size(), 0);
        if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))) {
            continue;
        }
        return;
    }
}

}  // namespace

void RequestLog::write(std::string_view line) {
    if (fd_ < 0) {
        return;
    }
    std::string whole(line);
    whole += '\n';
    const std::lock_guard lock(mutex_);
    (void)write_all(fd_, whole);
}

Result<std::string> read_to_end(int fd, std::size_t limit) {
    std::string content;
    std::array<char, 65536> piece{};
    for (;;) {
        const ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail(os_error_message(errno));
        }
        if (n == 0) {
            return content;
        }
        if (static_cast<std::size_t>(n) > limit - content.size()) {
            return fail("longer than " + std::to_string(limit) + " bytes");
        }
        content.append(piece.data(), static_cast<std::size_t>(n));
    }
}

bool is_reply_file_name(std::string_view command) {
    return !command.empty() && command != "." && command != ".." &&
           command.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

Answer answer_request(const Options& options, std::string_view payload) {
    auto request = read_json_text(payload);
    if (!request) {
        return {"! refused, not a JSON request: " + request.error().message, std::nullopt};
    }
    Answer answer;
    answer.log_line = has_line_break(payload) ? "! a request of " + std::to_string(payload.size()) +
                                                    " bytes with line breaks (not logged as it is)"
                                              : std::string(payload);
    const RequestParts parts = parts_of(*request);
    if (options.reply_payload) {
        answer.reply = *options.reply_payload;
    } else if (auto canned =
                   parts.well_formed ? canned_reply(options, parts.command) : std::nullopt) {
        answer.reply = std::move(*canned);
    } else {
        answer.reply = default_reply(options, parts);
    }
    return answer;
}

void serve_connection(const Socket& socket, const Options& options, RequestLog& log) {
    if (options.hang_up) {
        return;
    }
    if (options.no_read) {
        // Holds the connection, unread, until the host ends.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    (void)socket.set_timeouts(options.timeout, options.timeout);
    auto payload = receive_frame(socket, PayloadBuffer::as_bytes_arrive);
    if (!payload) {
        const std::string& why = payload.error().message;
        if (why == texts::kFrameSizeInvalid) {
            log.write("! refused, a frame length of 0 or above 4194304 bytes");
        } else if (why == texts::kFillIncomplete) {
            log.write("! closed before a whole request frame");
        } else {
            log.write("! no whole request frame: " + why);
        }
        return;
    }
    const Answer answer = answer_request(options, payload->view());
    log.write(answer.log_line);
    if (!answer.reply) {
        return;
    }
    if (options.no_reply) {
        drain_until_closed(socket);
        return;
    }
    if (options.delay.count() > 0) {
        std::this_thread::sleep_for(options.delay);
    }
    if (options.raw_reply || options.close_after) {
        std::string bytes = options.raw_reply.value_or("");
        if (!options.raw_reply) {
            const LengthField length =
                encode_length(static_cast<std::uint32_t>(answer.reply->size()));
            bytes.assign(reinterpret_cast<const char*>(length.data()), length.size());
            bytes += *answer.reply;
        }
        if (options.close_after && *options.close_after < bytes.size()) {
            bytes.resize(*options.close_after);
        }
        (void)socket.send_all(std::as_bytes(std::span(bytes.data(), bytes.size())));
        return;
    }
    (void)send_frame(socket, *answer.reply);
}

}  // namespace corvanelle::stub
