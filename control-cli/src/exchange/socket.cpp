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
#include "shared/failure_texts.hpp"
#include "shared/io.hpp"
#include "shared/result.hpp"

// CORVANELLE_BSD_SOCKETS builds the branches that macOS takes (close-on-exec by fcntl, no
// MSG_NOSIGNAL) on any system, so that they are compiled and tested where macOS is not at hand.

namespace corvanelle {

namespace {

// Where the socket can refuse SIGPIPE itself (SO_NOSIGPIPE, set in open_stream: macOS and
// the BSDs) the sends carry no flag, although recent macOS headers define MSG_NOSIGNAL too;
// Linux refuses it per send.
#if defined(SO_NOSIGPIPE) || defined(CORVANELLE_BSD_SOCKETS)
constexpr int kSendFlags = 0;
#else
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

// A new Unix-domain stream socket, close-on-exec: Linux makes it so as it creates it, macOS
// needs fcntl afterwards. -1 with errno set on failure.
int new_stream_socket() {
#if defined(SOCK_CLOEXEC) && !defined(CORVANELLE_BSD_SOCKETS)
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
#endif
}

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

Result<Socket> Socket::open_stream() {
    Socket socket{Descriptor(new_stream_socket())};
    if (socket.fd() < 0) {
        return fail(os_error_message(errno));
    }
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    if (::setsockopt(socket.fd(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
        return fail(os_error_message(errno));
    }
#endif
    return socket;
}

Result<SocketAddress> socket_address(std::string_view path) {
    if (path.size() >= kPathField) {
        return fail(texts::kPathTooLong);
    }
    SocketAddress at;
    at.address.sun_family = AF_UNIX;
    std::memcpy(at.address.sun_path, path.data(), path.size());
    at.address.sun_path[path.size()] = '\0';
    at.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    return at;
}

Status Socket::connect_to(std::string_view path) const {
    auto address = socket_address(path);
    if (!address) {
        return forward_failure(address);
    }
    if (::connect(fd(), address->get(), address->length) != 0) {
        return fail(os_error_message(errno));
    }
    return {};
}

Status Socket::set_timeouts(std::chrono::microseconds receive,
                            std::chrono::microseconds send) const {
    const timeval receive_tv = to_timeval(receive);
    if (::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &receive_tv, sizeof receive_tv) != 0) {
        return fail(os_error_message(errno));
    }
    const timeval send_tv = to_timeval(send);
    if (::setsockopt(fd(), SOL_SOCKET, SO_SNDTIMEO, &send_tv, sizeof send_tv) != 0) {
        return fail(os_error_message(errno));
    }
    return {};
}

Status Socket::send_all(std::span<const std::byte> bytes) const {
    return transfer_all(
        bytes.data(), bytes.size(),
        [this](const std::byte* at, std::size_t n) { return ::send(fd(), at, n, kSendFlags); },
        texts::kWriteIncomplete);
}

Status Socket::receive_exact(std::span<std::byte> bytes) const {
    return transfer_all(
        bytes.data(), bytes.size(),
        [this](std::byte* at, std::size_t n) { return ::recv(fd(), at, n, 0); },
        texts::kFillIncomplete);
}

}  // namespace corvanelle
