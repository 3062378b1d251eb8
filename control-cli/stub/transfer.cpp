#include "transfer.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "exchange/frame.hpp"
#include "shared/failure_texts.hpp"
#include "shared/io.hpp"

namespace corvanelle::stub {
namespace {

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // the host ignores SIGPIPE
#endif

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

}  // namespace

Status make_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail(os_error_message(errno));
    }
    return {};
}

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

Status receive_by(int fd, std::span<char> bytes, Clock::time_point deadline) {
    return transfer_by(
        fd, bytes.data(), bytes.size(), POLLIN, deadline,
        [fd](char* at, std::size_t n) { return ::recv(fd, at, n, 0); }, texts::kFillIncomplete);
}

Status send_by(int fd, std::string_view bytes, Clock::time_point deadline) {
    return transfer_by(
        fd, bytes.data(), bytes.size(), POLLOUT, deadline,
        [fd](const char* at, std::size_t n) { return ::send(fd, at, n, kSendFlags); },
        texts::kWriteIncomplete);
}

Result<std::size_t> receive_length_by(int fd, Clock::time_point deadline) {
    LengthField field{};
    if (auto got = receive_by(fd, {reinterpret_cast<char*>(field.data()), field.size()}, deadline);
        !got) {
        return forward_failure(got);
    }
    return std::size_t{decode_length(field)};
}

Status send_frame_by(int fd, std::string_view payload, Clock::time_point deadline,
                     std::size_t limit) {
    const LengthField length = encode_length(static_cast<std::uint32_t>(payload.size()));
    const std::string_view field(reinterpret_cast<const char*>(length.data()), length.size());
    if (auto sent = send_by(fd, field.substr(0, limit), deadline); !sent || limit <= field.size()) {
        return sent;
    }
    return send_by(fd, payload.substr(0, limit - field.size()), deadline);
}

}  // namespace corvanelle::stub
