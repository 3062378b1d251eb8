#include "relay.hpp"

#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <new>
#include <thread>

#include "exchange/reader.hpp"
#include "recorder.hpp"
#include "reply.hpp"
#include "shared/failure_texts.hpp"
#include "transfer.hpp"

namespace corvanelle::stub {
namespace {

// The application's reply, or what went wrong with the application: the failure reply's code
// and what it says.
struct Answer {
    OwnedText reply;
    std::optional<Code> code;  // the failure reply's; none when the application answered
    std::string message;
    Socket socket;  // to the application, once it took the request
};

// What went wrong, for the client and the log.
Reply noted(std::string_view echoed_id, const Answer& answer) {
    return noted_failure(echoed_id, *answer.code, answer.message);
}

constexpr Code kUnreachable = Code::application_unreachable;
constexpr Code kTooSlow = Code::application_timeout;
constexpr Code kBroken = Code::application_broken;
constexpr Code kNoRoom = Code::memory_budget;

std::string seconds(std::chrono::seconds wait) {
    return std::to_string(wait.count()) + " seconds";
}

Answer trouble(Code code, std::string message) {
    return {{}, code, std::move(message), {}};
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
    if (!c.holding.take_reply(length, parsing_cost(length), deadline)) {
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
    c.holding.reply_parsed(parsing_cost(length));
    return {std::move(bytes), std::nullopt, {}, {}};
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

// The request to the application, by the send deadline: connected, then handed over.
Answer ask(const std::string& application, const std::string& path, std::string_view request,
           Clock::time_point send_by) {
    auto socket = connect_by(path, send_by);
    if (!socket) {
        return socket.error().message == kTimedOut
                   ? trouble(kTooSlow, application + " accepted no connection within " +
                                           seconds(kApplicationSendWait))
                   : trouble(kUnreachable,
                             application + " cannot be reached: " + socket.error().message);
    }
    Answer answer = hand_over(request, *socket, send_by, application);
    answer.socket = std::move(*socket);
    return answer;
}

// What the recorder writes, with --redact the room of the frame's redacted copy taken at once
// (never waited for while the frame is held) and given back once it is written.
template <typename Write>
auto with_room_to_redact(Connection& c, std::string_view frame, Write write) -> decltype(write()) {
    const std::size_t room = c.host.settings.redaction.redacting_cost(frame, kFrameLimit);
    if (!c.holding.take_now(room)) {
        return fail(
            std::string("an exchange was not recorded: its redacted copy found no room in "
                        "the memory budget"));
    }
    auto written = write();
    c.holding.give_back(room);
    return written;
}

}  // namespace

std::optional<Reply> relayed(Connection& c, Asked& asked) {
    const std::string& path = c.host.settings.forward_path;
    const std::string application = "the application at " + path;
    const Clock::time_point reply_by =
        c.request_deadline - c.host.settings.timeout + kApplicationReplyWait;
    Answer answer = ask(application, path, asked.request.view(),
                        std::min(Clock::now() + kApplicationSendWait, reply_by));
    // The request's bytes are done with: into the recording, then to the log, and the memory
    // they held goes back before the budget is asked for the reply's, so that a connection
    // never holds memory while it waits for more.
    std::optional<Recorder::Exchange> recording;
    std::string not_recorded;
    if (!answer.code && c.host.recorder != nullptr) {
        auto begun = with_room_to_redact(
            c, asked.request.view(), [&] { return c.host.recorder->begin(asked.request.view()); });
        if (begun) {
            recording.emplace(std::move(*begun));
        } else {
            not_recorded = begun.error().message;
        }
    }
    log_request(c, std::move(asked.request));
    if (!not_recorded.empty()) {
        c.host.log.add("! " + not_recorded);
    }
    if (!answer.code) {
        answer = receive_reply(c, answer.socket.fd(), reply_by, application);
    }
    if (answer.code) {
        return noted(asked.echoed_id, answer);
    }
    if (recording) {
        if (auto kept = with_room_to_redact(
                c, answer.reply.view(),
                [&] { return c.host.recorder->finish(*recording, answer.reply.view()); });
            !kept) {
            c.host.log.add("! " + kept.error().message);
        }
    }
    Reply reply;
    reply.owned = std::move(answer.reply);
    return reply;
}

}  // namespace corvanelle::stub
