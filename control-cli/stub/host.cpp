#include "host.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <thread>

#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "report/json_text.hpp"
#include "report/output.hpp"
#include "shared/document.hpp"
#include "shared/failure_texts.hpp"
#include "shared/io.hpp"

namespace corvanelle::stub {
namespace {

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // the host ignores SIGPIPE
#endif

constexpr std::string_view kTimedOut = "the time-out passed";

// Waits until `fd` is ready for `events`, or fails when the deadline passes first.
Status wait_until_ready(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return fail(kTimedOut);
        }
        pollfd one{fd, events, 0};
        const int ready =
            ::poll(&one, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready > 0) {
            return {};
        }
        if (ready < 0 && errno != EINTR) {
            return fail(os_error_message(errno));
        }
    }
}

// Moves all `size` bytes through `io` (a recv or a send on the non-blocking socket) by the
// deadline: the program's transfer loop, each EAGAIN a wait for the socket until then.
template <typename Byte, typename Io>
Status transfer_by(int fd, Byte* data, std::size_t size, short events, Clock::time_point deadline,
                   Io io, std::string_view none_moved) {
    std::optional<Failure> wait_failed;
    auto moved = transfer_all(
        data, size,
        [&](Byte* at, std::size_t n) {
            for (;;) {
                const ssize_t done = io(at, n);
                if (done >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    return done;
                }
                if (auto ready = wait_until_ready(fd, events, deadline); !ready) {
                    wait_failed = std::move(ready.error());
                    errno = ETIMEDOUT;  // ends the loop; the wait's own failure is reported
                    return ssize_t{-1};
                }
            }
        },
        none_moved);
    if (!moved && wait_failed) {
        return Unexpected{std::move(*wait_failed)};
    }
    return moved;
}

// Fills `bytes` from the non-blocking socket by the deadline.
Status receive_by(int fd, std::span<char> bytes, Clock::time_point deadline) {
    return transfer_by(
        fd, bytes.data(), bytes.size(), POLLIN, deadline,
        [fd](char* at, std::size_t n) { return ::recv(fd, at, n, 0); }, texts::kFillIncomplete);
}

// Sends all of `bytes` on the non-blocking socket by the deadline.
Status send_by(int fd, std::string_view bytes, Clock::time_point deadline) {
    return transfer_by(
        fd, bytes.data(), bytes.size(), POLLOUT, deadline,
        [fd](const char* at, std::size_t n) { return ::send(fd, at, n, kSendFlags); },
        texts::kWriteIncomplete);
}

// A failure to receive, as the log tells it after "! ".
Unexpected receive_failure(const Failure& failure) {
    if (failure.message == texts::kFillIncomplete) {
        return fail("closed before a whole request frame");
    }
    return fail("no whole request frame: " + failure.message);
}

// The request frame's length, checked.
Result<std::size_t> receive_length(int fd, Clock::time_point deadline) {
    std::array<char, 4> field_bytes{};
    if (auto received = receive_by(fd, field_bytes, deadline); !received) {
        return receive_failure(received.error());
    }
    LengthField field{};
    std::memcpy(field.data(), field_bytes.data(), field.size());
    const std::size_t length = decode_length(field);
    if (!valid_frame_length(length)) {
        return fail("refused, a frame length of 0 or above 4194304 bytes");
    }
    return length;
}

// The request's payload. Its buffer grows as bytes arrive, so that four bytes announcing
// 4 MiB never make the host touch 4 MiB; what it may come to was charged beforehand.
Result<OwnedText> receive_payload(int fd, std::size_t length, Clock::time_point deadline) {
    constexpr std::size_t kFirstPiece = 4096;
    std::size_t capacity = std::min(length, kFirstPiece);
    OwnedText payload = OwnedText::uninitialised(capacity);
    std::size_t have = 0;
    while (have < length) {
        if (have == capacity) {
            const std::size_t grown = std::min(length, capacity * 2);
            OwnedText bigger = OwnedText::uninitialised(grown);
            std::memcpy(bigger.data.get(), payload.data.get(), have);
            payload = std::move(bigger);
            capacity = grown;
        }
        if (auto received =
                receive_by(fd, std::span(payload.data.get() + have, capacity - have), deadline);
            !received) {
            return receive_failure(received.error());
        }
        have = capacity;
    }
    payload.size = length;
    return payload;
}

constexpr char kNothing[] = "";

// The request's members that the default reply echoes, when they have the kinds a client
// sends: a string command, a string id, and an array of strings.
struct RequestParts {
    bool well_formed = false;
    // Never a null view: the writer copies from them.
    std::string_view command = kNothing;
    std::string_view request_id = kNothing;
    std::optional<Document::Value> arguments;
};

RequestParts parts_of(const Document& request) {
    RequestParts parts;
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

// A failure reply is small: it echoes a request id of at most this many bytes.
constexpr std::size_t kEchoedIdLimit = 4096;
constexpr std::size_t kFailureReplyCost = 6 * kEchoedIdLimit + 512;

// Fixed members around what the default reply echoes. The echoed strings never take more
// room than they took in the request (the writer escapes only what JSON requires, and a
// request must escape at least that much), and the request's own keys and brackets take
// more than this, so a reply is at most the request's size and this.
constexpr std::size_t kReplyFrame = 512;

void failure_reply(TextOut& out, std::string_view request_id, std::string_view code,
                   std::string_view message) {
    out.put(R"({"data":null,"debugLogs":[],"error":{"code":)");
    append_string(code, out);
    out.put(R"(,"message":)");
    append_string(message, out);
    out.put(R"(},"requestId":)");
    append_string(request_id.size() <= kEchoedIdLimit ? request_id : std::string_view(kNothing),
                  out);
    out.put(R"(,"success":false})");
}

constexpr std::string_view kTooLarge = "STUB_REPLY_TOO_LARGE";
constexpr std::string_view kTooLargeMessage =
    "the reply would be longer than the frame limit of 4194304 bytes";

// Into `out`, whose room was charged: keys in the order the compact writer puts them.
void default_reply(const Options& options, const RequestParts& request, TextOut& out) {
    if (!request.well_formed) {
        failure_reply(out, request.request_id, "STUB_BAD_REQUEST",
                      "the request is not an object with a string requestId, a string command "
                      "and an array of string arguments");
        return;
    }
    if (options.fail) {
        failure_reply(out, request.request_id, "STUB_FAILURE",
                      "the stand-in host was told to fail");
        return;
    }
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
}

bool has_line_break(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// The replies folder's file for `command`: a plain file directly inside it, never through a
// symbolic link.
std::optional<Socket> open_canned(const Options& options, std::string_view command,
                                  std::size_t& size) {
    if (options.replies_dir < 0 || !is_reply_file_name(command)) {
        return std::nullopt;
    }
    const std::string name = std::string(command) + ".json";
    Socket file(::openat(options.replies_dir, name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (file.fd() < 0 || ::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    size = static_cast<std::size_t>(info.st_size);
    return file;
}

// Waits until the client closes its end (or the host ends), reading and dropping anything.
void drain_until_closed(int fd) {
    std::array<char, 4096> sink{};
    for (;;) {
        const ssize_t n = ::recv(fd, sink.data(), sink.size(), 0);
        if (n > 0 || (n < 0 && errno == EINTR)) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd one{fd, POLLIN, 0};
            (void)::poll(&one, 1, -1);
            continue;
        }
        return;
    }
}

// Holds the connection, unread, until the client closes it (or the host ends).
void hold_unread(int fd) {
#if defined(POLLRDHUP)
    for (;;) {
        pollfd one{fd, POLLRDHUP, 0};
        if (::poll(&one, 1, -1) > 0) {
            return;
        }
    }
#else
    (void)fd;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
#endif
}

void serve(int fd, const Options& options, RequestLog& log, MemoryBudget* budget) {
    const Clock::time_point request_deadline = Clock::now() + options.timeout;
    auto length = receive_length(fd, request_deadline);
    if (!length) {
        log.add("! " + length.error().message);
        return;
    }
    const std::size_t size = *length;
    // Everything the request may come to, charged in one step before any of it exists: a
    // connection never holds part of its memory while it waits for the rest, so connections
    // can never hold each other up.
    Charge charge(budget, request_deadline);
    if (!charge.reserve(receiving_cost(size) + parsing_cost(size) + reply_cost(size))) {
        log.add("! closed unanswered: a request of " + std::to_string(size) +
                " bytes found no room in the memory budget in time");
        return;
    }
    auto payload = receive_payload(fd, size, request_deadline);
    if (!payload) {
        log.add("! " + payload.error().message);
        return;
    }
    auto request = read_json_text(std::move(*payload));
    if (!request) {
        if (request.error().message == texts::kReplyOutOfMemory) {
            throw std::bad_alloc();
        }
        log.add("! refused, not a JSON request: " + request.error().message);
        return;
    }
    const RequestParts parts = parts_of(*request);

    // The reply: the --reply payload (shared, costs nothing), a file of the replies folder,
    // or one made here.
    std::string_view reply;
    TextOut made;
    OwnedText canned;
    std::size_t canned_size = 0;
    std::optional<Socket> canned_file;
    if (!options.reply_payload && parts.well_formed) {
        canned_file = open_canned(options, parts.command, canned_size);
    }
    if (options.reply_payload) {
        reply = *options.reply_payload;
    } else if (canned_file && (canned_size == 0 || canned_size > kFrameLimit)) {
        made.room(kFailureReplyCost);
        if (canned_size == 0) {
            failure_reply(made, parts.request_id, "STUB_REPLY_EMPTY",
                          "the reply file for this command is empty");
        } else {
            failure_reply(made, parts.request_id, kTooLarge, kTooLargeMessage);
        }
        reply = made.view();
        canned_file.reset();
    } else if (!canned_file) {
        made.room(reply_cost(size));
        default_reply(options, parts, made);
        if (made.view().size() > kFrameLimit) {
            made = TextOut();
            made.room(kFailureReplyCost);
            failure_reply(made, parts.request_id, kTooLarge, kTooLargeMessage);
        }
        reply = made.view();
    }
    const std::string echoed_id(
        parts.request_id.size() <= kEchoedIdLimit ? parts.request_id : std::string_view(kNothing));

    // The request goes to the log as it arrived: its own bytes, not a copy.
    OwnedText arrived = std::move(*request).release_source();
    if (has_line_break(arrived.view())) {
        log.add("! a request of " + std::to_string(size) +
                " bytes with line breaks (not logged as it is)");
    } else {
        log.add(std::move(arrived));
    }
    arrived = OwnedText();
    charge.release(receiving_cost(size) + parsing_cost(size));

    if (canned_file) {
        // Read after the request is gone; its own size charged first.
        charge.release(reply_cost(size));
        if (!charge.reserve(canned_size + 1)) {
            log.add("! closed unanswered: a reply file of " + std::to_string(canned_size) +
                    " bytes found no room in the memory budget in time");
            return;
        }
        canned = OwnedText::uninitialised(canned_size + 1);
        std::size_t got = 0;
        for (;;) {
            const ssize_t n =
                ::read(canned_file->fd(), canned.data.get() + got, canned_size + 1 - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || (got += static_cast<std::size_t>(n)) == canned_size + 1) {
                break;
            }
        }
        // A file that changed since it was measured: never an empty or overlong frame.
        canned.size = got;
        if (got == 0 || got > canned_size) {
            canned.data.reset();
            made.room(kFailureReplyCost);
            if (got == 0) {
                failure_reply(made, echoed_id, "STUB_REPLY_EMPTY",
                              "the reply file for this command is empty");
            } else {
                failure_reply(made, echoed_id, kTooLarge, kTooLargeMessage);
            }
            reply = made.view();
        } else {
            reply = canned.view();
        }
    }

    if (options.no_reply) {
        drain_until_closed(fd);
        return;
    }
    if (options.delay.count() > 0) {
        std::this_thread::sleep_for(options.delay);
    }
    const Clock::time_point reply_deadline = Clock::now() + options.timeout;
    if (options.raw_reply) {
        std::string_view bytes = *options.raw_reply;
        if (options.close_after) {
            bytes = bytes.substr(0, *options.close_after);
        }
        (void)send_by(fd, bytes, reply_deadline);
        return;
    }
    const LengthField length_field = encode_length(static_cast<std::uint32_t>(reply.size()));
    std::string_view field(reinterpret_cast<const char*>(length_field.data()), length_field.size());
    if (options.close_after) {
        const std::size_t limit = *options.close_after;
        field = field.substr(0, limit);
        reply = reply.substr(0, limit > field.size() ? limit - field.size() : 0);
    }
    if (auto sent = send_by(fd, field, reply_deadline); !sent) {
        return;
    }
    (void)send_by(fd, reply, reply_deadline);
}

}  // namespace

std::size_t receiving_cost(std::size_t size) {
    // The buffer, and the half of it that is copied across when it last grew.
    return size + size / 2;
}

constexpr std::size_t kParserOverhead = std::size_t{64} * 1024;

std::size_t parsing_cost(std::size_t size) {
    // The reader reserves, from the text's size: 16-byte nodes for half of it, two arrays of
    // 4-byte indices for a fifth of it each, and an arena as large as the text. Once more
    // the text's size covers a number that arrives in pieces, and 64 KiB the parser's own
    // stack and the handful of small vectors besides.
    return 16 * (size / 2 + 2) + 2 * (4 * (size / 5 + 1)) + 2 * size + kParserOverhead;
}

std::size_t reply_cost(std::size_t size) {
    return size + kReplyFrame;
}

void serve_connection(const Socket& socket, const Options& options, RequestLog& log,
                      MemoryBudget* budget) {
    if (options.hang_up) {
        return;
    }
    if (options.no_read) {
        hold_unread(socket.fd());
        return;
    }
    const int flags = ::fcntl(socket.fd(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.fd(), F_SETFL, flags | O_NONBLOCK) != 0) {
        log.add("! closed unanswered: " + os_error_message(errno));
        return;
    }
    try {
        serve(socket.fd(), options, log, budget);
    } catch (const std::bad_alloc&) {
        // Everything this connection held is freed on the way out; the others go on.
        log.add("! out of memory while serving a connection; it was closed");
    }
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
    constexpr std::size_t kLongestName = 250;  // with ".json", within any file system's limit
    return !command.empty() && command.size() <= kLongestName && command != "." &&
           command != ".." &&
           command.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace corvanelle::stub
