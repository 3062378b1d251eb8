#include "relay.hpp"

#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <new>
#include <thread>

#include "exchange/reader.hpp"
#include "recorder.hpp"
#include "shared/failure_texts.hpp"
#include "transfer.hpp"

namespace corvanelle::stub {
namespace {

// The application's reply, or what went wrong with the application: the failure reply's code
// and what it says.
struct Answer {
    OwnedText reply;
    std::string_view code;  // the failure reply's; empty when the application answered
    std::string message;
};

constexpr std::string_view kUnreachable = "STUB_APPLICATION_UNREACHABLE";
constexpr std::string_view kTooSlow = "STUB_APPLICATION_TIMEOUT";
constexpr std::string_view kBroken = "STUB_APPLICATION_BROKEN";
constexpr std::string_view kNoRoom = "STUB_MEMORY_BUDGET";

std::string seconds(std::chrono::seconds wait) {
    return std::to_string(wait.count()) + " seconds";
}

Answer trouble(std::string_view code, std::string message) {
    return {{}, code, std::move(message)};
}

// A transfer that failed: too slow when a wait passed the deadline, otherwise broken.
Answer transfer_trouble(const Failure& failure, const std::string& application,
                        const std::string& slow, const std::string& broken) {
    if (failure.message == kTimedOut) {
        return trouble(kTooSlow, application + slow);
    }
    return trouble(kBroken, application + broken +
                                (failure.message == texts::kFillIncomplete
                                     ? std::string("it closed the connection")
                                     : failure.message));
}

// One connection to the application, made by the deadline: a full queue of connections to
// accept is tried again until then, as a blocking connect would wait.
Result<Socket> connect_by(const std::string& path, Clock::time_point deadline) {
    auto socket = Socket::open_stream();
    if (!socket) {
        return forward_failure(socket);
    }
    auto address = socket_address(path);
    if (auto made = make_non_blocking(socket->fd()); !made || !address) {
        return made ? forward_failure(address) : forward_failure(made);
    }
    while (::connect(socket->fd(), address->get(), address->length) != 0) {
        if (errno == EINPROGRESS || errno == EINTR) {
            if (auto ready = wait_until_ready(socket->fd(), POLLOUT, deadline); !ready) {
                return forward_failure(ready);
            }
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(socket->fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
            if (error != 0) {
                return fail(os_error_message(error));
            }
            return socket;
        }
        if (errno != EAGAIN || Clock::now() >= deadline) {
            return fail(errno == EAGAIN ? std::string(kTimedOut) : os_error_message(errno));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return socket;
}

// The reply frame: its length checked before any payload byte is read, then the payload and
// what reading it takes charged before they exist, the payload read as the client reads a
// reply, and only its bytes kept (and charged) afterwards.
Answer receive_reply(Connection& c, int fd, Clock::time_point deadline,
                     const std::string& application) {
    const std::string slow = " did not answer within " + seconds(kApplicationReplyWait);
    const std::string broken = " gave no whole reply: ";
    auto field = receive_length_by(fd, deadline);
    if (!field) {
        return transfer_trouble(field.error(), application, slow, broken);
    }
    const std::size_t length = *field;
    if (!valid_frame_length(length)) {
        return trouble(kBroken, application + " sent a reply length of " + std::to_string(length) +
                                    " bytes, not 1 to " + std::to_string(kFrameLimit));
    }
    const std::size_t redacting = c.host.settings.redaction.most_held(length, kFrameLimit);
    if (!c.charge.reserve(length + parsing_cost(length) + redacting, deadline)) {
        return trouble(kNoRoom, "the application's reply of " + std::to_string(length) +
                                    " bytes found no room in the memory budget in time");
    }
    OwnedText payload = OwnedText::uninitialised(length);
    if (auto got = receive_by(fd, {payload.data.get(), length}, deadline); !got) {
        return transfer_trouble(got.error(), application, slow, broken);
    }
    auto read = read_json_text(std::move(payload));
    if (!read && read.error().message == texts::kReplyOutOfMemory) {
        throw std::bad_alloc();
    }
    if (!read) {
        return trouble(kBroken,
                       application + " sent a reply that is not JSON: " + read.error().message);
    }
    OwnedText bytes = std::move(*read).release_source();
    c.charge.release(parsing_cost(length));
    return {std::move(bytes), {}, {}};
}

// The request, on a connection of its own, by the send deadline.
Answer hand_over(std::string_view request, const Socket& socket, Clock::time_point deadline,
                 const std::string& application) {
    if (auto sent = send_frame_by(socket.fd(), request, deadline); !sent) {
        return transfer_trouble(sent.error(), application,
                                " took no whole request within " + seconds(kApplicationSendWait),
                                " took no whole request: ");
    }
    return {};
}

}  // namespace

std::optional<Reply> forwarded(Connection& /*c*/, const RequestParts* request) {
    Reply reply;
    reply.form = Reply::Form::relay;
    reply.echoed_id = echoed(request->request_id);
    return reply;
}

void relay(Connection& c, Reply& reply) {
    const std::string& path = c.host.settings.forward_path;
    const std::string application = "the application at " + path;
    const Clock::time_point reply_by =
        c.request_deadline - c.host.settings.timeout + kApplicationReplyWait;
    const Clock::time_point send_by_time = std::min(Clock::now() + kApplicationSendWait, reply_by);
    Answer answer;
    auto socket = connect_by(path, send_by_time);
    if (!socket) {
        answer = socket.error().message == kTimedOut
                     ? trouble(kTooSlow, application + " accepted no connection within " +
                                             seconds(kApplicationSendWait))
                     : trouble(kUnreachable,
                               application + " cannot be reached: " + socket.error().message);
    } else {
        answer = hand_over(reply.request.view(), *socket, send_by_time, application);
    }
    // The request's bytes are done with: into the recording, then to the log, and the memory
    // they held goes back before the budget is asked for the reply's, so that a connection
    // never holds memory while it waits for more.
    auto recording = answer.code.empty() && c.host.recorder != nullptr
                         ? c.host.recorder->begin(reply.request.view(), c.host.log)
                         : std::nullopt;
    const std::size_t request_size = reply.request.size;
    c.host.log.add_request(std::move(reply.request));
    c.charge.release(request_size);
    if (answer.code.empty()) {
        answer = receive_reply(c, socket->fd(), reply_by, application);
    }
    if (!answer.code.empty()) {
        c.host.log.add("! " + answer.message);
        reply = failure_reply(reply.echoed_id, answer.code, answer.message);
        return;
    }
    if (recording) {
        c.host.recorder->finish(*recording, answer.reply.view(), c.host.log);
    }
    reply.read = std::move(answer.reply);
    reply.form = Reply::Form::frame;
}

}  // namespace corvanelle::stub
