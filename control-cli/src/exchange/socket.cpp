// The control socket's system calls. Everything that differs between the systems the client
// runs on is here: the socket address field's size, how SIGPIPE is kept away from socket sends,
// and how close-on-exec is set.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "exchange/socket.hpp"
#include "io.hpp"
#include "result.hpp"

// CORVANELLE_BSD_SOCKETS builds the branches that macOS takes (close-on-exec by fcntl, no
// MSG_NOSIGNAL) on any system, so that they are compiled and tested where macOS is not at hand.

namespace corvanelle {

namespace {

// Linux refuses SIGPIPE per send; BSD and macOS per socket (SO_NOSIGPIPE, set in open_stream).
#if defined(MSG_NOSIGNAL) && !defined(CORVANELLE_BSD_SOCKETS)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

constexpr std::size_t kPathField = sizeof(sockaddr_un{}.sun_path);

timeval to_timeval(std::chrono::microseconds duration) {
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(duration.count() / 1'000'000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(duration.count() % 1'000'000);
    return tv;
}

}  // namespace

std::size_t max_socket_path_length() {
    return kPathField - 1;
}

void Socket::close() {
    if (fd_ >= 0) {
        // The descriptor is gone after close() even when it reports EINTR: never retry.
        ::close(fd_);
        fd_ = -1;
    }
}

Result<Socket> Socket::open_stream() {
#if defined(SOCK_CLOEXEC) && !defined(CORVANELLE_BSD_SOCKETS)
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.fd() < 0) {
        return fail(os_error_message(errno));
    }
#else
    Socket socket(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (socket.fd() < 0) {
        return fail(os_error_message(errno));
    }
    if (::fcntl(socket.fd(), F_SETFD, FD_CLOEXEC) != 0) {
        return fail(os_error_message(errno));
    }
#endif
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    if (::setsockopt(socket.fd(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
        return fail(os_error_message(errno));
    }
#endif
    return socket;
}

Status Socket::connect_to(std::string_view path) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= kPathField) {
        return fail("path must be shorter than SUN_LEN");
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    address.sun_path[path.size()] = '\0';
    // The length covers the path bytes but not the terminating zero. For the empty path it
    // covers no path byte at all: on Linux an address whose path starts with a zero byte names
    // the abstract namespace, and the empty path must never reach it. The system refuses such
    // an address with its own error.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return fail(os_error_message(errno));
    }
    return {};
}

Status Socket::set_timeouts(std::chrono::microseconds receive,
                            std::chrono::microseconds send) const {
    const timeval receive_tv = to_timeval(receive);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &receive_tv, sizeof receive_tv) != 0) {
        return fail(os_error_message(errno));
    }
    const timeval send_tv = to_timeval(send);
    if (::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &send_tv, sizeof send_tv) != 0) {
        return fail(os_error_message(errno));
    }
    return {};
}

Status Socket::send_all(std::span<const std::byte> bytes) const {
    return transfer_all(
        bytes.data(), bytes.size(),
        [this](const std::byte* at, std::size_t n) { return ::send(fd_, at, n, kSendFlags); },
        "failed to write whole buffer");
}

Status Socket::receive_exact(std::span<std::byte> bytes) const {
    return transfer_all(
        bytes.data(), bytes.size(),
        [this](std::byte* at, std::size_t n) { return ::recv(fd_, at, n, 0); },
        "failed to fill whole buffer");
}

}  // namespace corvanelle
