#include "connection.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <thread>

#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "replies.hpp"
#include "shared/failure_texts.hpp"
#include "transfer.hpp"

namespace corvanelle::stub {
namespace {

// A failure to receive, as the log tells it after "! ".
Unexpected receive_failure(const Failure& failure) {
    if (failure.message == texts::kFillIncomplete) {
        return fail("closed before a whole request frame");
    }
    return fail("no whole request frame: " + failure.message);
}

Result<std::size_t> receive_length(int fd, Clock::time_point deadline) {
    auto received = receive_length_by(fd, deadline);
    if (!received) {
        return receive_failure(received.error());
    }
    const std::size_t length = *received;
    if (!valid_frame_length(length)) {
        return fail("refused, a frame length of 0 or above " + std::to_string(kFrameLimit) +
                    " bytes");
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

// Step 1: the request, read by the client's reading rules. Everything it may come to (its
// buffer, the parsed request, its default reply) is charged in one step before any of it
// exists: a connection never holds part of its memory while it waits for the rest, so
// connections can never hold each other up.
Result<Document> receive(Connection& c) {
    const int fd = c.socket.fd();
    auto length = receive_length(fd, c.request_deadline);
    if (!length) {
        return forward_failure(length);
    }
    const std::size_t size = *length;
    c.request_size = size;
    if (!c.holding.take_request(size)) {
        return fail("closed unanswered: a request of " + std::to_string(size) +
                    " bytes found no room in the memory budget in time");
    }
    auto payload = receive_payload(fd, size, c.request_deadline);
    if (!payload) {
        return forward_failure(payload);
    }
    auto request = read_json_text(std::move(*payload));
    if (!request) {
        if (request.error().message == texts::kReplyOutOfMemory) {
            throw std::bad_alloc();
        }
        return fail("refused, not a JSON request: " + request.error().message);
    }
    return request;
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

// Step 3: the reply, sent by a deadline
// of its own that starts once any --delay is over; --close-after cuts it, length field
// included.
void deliver(Connection& c, Reply& reply) {
    const Settings& settings = c.host.settings;
    const int fd = c.socket.fd();
    switch (reply.form) {
        case Reply::Form::hang_up:
            return;
        case Reply::Form::hold_unread:
            return hold_unread(fd);
        case Reply::Form::silence:
            return drain_until_closed(fd);
        case Reply::Form::frame:
        case Reply::Form::raw:
            break;
    }
    if (settings.delay.count() > 0) {
        std::this_thread::sleep_for(settings.delay);
    }
    const Clock::time_point deadline = Clock::now() + settings.timeout;
    const std::size_t limit = settings.given.has(Option::close_after)
                                  ? settings.close_after
                                  : std::numeric_limits<std::size_t>::max();
    const std::string_view bytes = reply.bytes();
    if (reply.form == Reply::Form::frame) {
        (void)send_frame_by(fd, bytes, deadline, limit);
    } else {
        (void)send_by(fd, bytes.substr(0, limit), deadline);
    }
}

// A recorded reply read, with the secrets --redact names put back where their values are
// known, its room charged first; one that would be too long for a frame is answered as such.
// False when the budget had no room in time (the connection is then closed).
bool restore_secrets(Connection& c, Reply& reply) {
    const Redaction& redaction = c.host.settings.redaction;
    if (!redaction.active() || !reply.owned.data) {
        return true;
    }
    const std::size_t size = reply.owned.size;
    if (!c.holding.take_now(redaction.restoring_cost(reply.owned.view(), kFrameLimit))) {
        c.host.log.add("! closed unanswered: a recorded reply of " + std::to_string(size) +
                       " bytes found no room in the memory budget for its secrets");
        return false;
    }
    auto restored = redaction.restore(reply.owned.view(), kFrameLimit);
    if (!restored) {
        reply = too_large(reply.echoed_id);
    } else if (*restored) {
        reply.owned = OwnedText::copy_of(**restored);
    }
    return true;
}

// A reply file still to be read, read once its room is charged; false when the budget had
// no room for it in time (the connection is then closed).
bool read_reply_file(Connection& c, Reply& reply) {
    if (!reply.slice) {
        return true;
    }
    const std::size_t size = reply.slice->size;
    const bool recorded = reply.slice->digest.has_value();
    if (!c.holding.take_reply(size + 1)) {
        c.host.log.add("! closed unanswered: a reply file of " + std::to_string(size) +
                       " bytes found no room in the memory budget in time");
        return false;
    }
    read_slice(reply);
    return !recorded || restore_secrets(c, reply);
}

// Step 2: the reply, from a source asked while the request lives (it is made then, or a
// reply file opened), or else from one asked once the request's memory has gone back. Either
// way the request is logged, its own bytes as they arrived (not a copy), before any "! " line
// about its exchange.
Reply reply_to_request(Connection& c, Document request) {
    const RequestParts parts = parts_of(request, c.request_size);
    std::optional<Reply> reply = reply_to(c, parts);
    std::string echoed_id(reply ? std::string_view() : echoed(parts.request_id));
    OwnedText text = std::move(request).release_source();
    c.holding.reply_chosen(reply && !reply->slice);
    if (!reply) {
        return reply_once_gone(c, Asked{nullptr, std::move(text), std::move(echoed_id)});
    }
    log_request(c, std::move(text));
    return std::move(*reply);
}

void serve(Connection& c) {
    if (auto before = reply_before_reading(c)) {
        return deliver(c, *before);
    }
    if (auto made = make_non_blocking(c.socket.fd()); !made) {
        return c.host.log.add("! closed unanswered: " + made.error().message);
    }
    auto request = receive(c);
    if (!request) {
        return c.host.log.add("! " + request.error().message);
    }
    Reply reply = reply_to_request(c, std::move(*request));
    if (!read_reply_file(c, reply)) {
        return;
    }
    // What went wrong with this exchange, after its request's own line.
    if (!reply.note.empty()) {
        c.host.log.add("! " + reply.note);
    }
    deliver(c, reply);
}

}  // namespace

void serve_connection(const Host& host, Socket socket) {
    const Clock::time_point deadline = Clock::now() + host.settings.timeout;
    Connection connection{host, std::move(socket), deadline, Holding(host.budget, deadline)};
    try {
        serve(connection);
    } catch (const std::bad_alloc&) {
        // Everything this connection held is freed on the way out; the others go on.
        host.log.add("! out of memory while serving a connection; it was closed");
    }
}

}  // namespace corvanelle::stub
