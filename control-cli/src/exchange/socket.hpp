// The control socket: a move-only handle built on the program's owned descriptor, and the
// few system calls the exchange makes on it. Platform differences live in socket.cpp.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "shared/descriptor.hpp"
#include "shared/result.hpp"

namespace corvanelle {

// The address of a Unix-domain socket at a file-system path: the path bytes and a terminating
// zero in the platform's address field, and a length that covers the path but not the zero.
// For the empty path the length covers no path byte at all: on Linux an address whose path
// starts with a zero byte names the abstract namespace, and the empty path must never reach
// it, so the system refuses such an address with its own error.
struct SocketAddress {
    sockaddr_un address{};
    socklen_t length = 0;

    [[nodiscard]] const sockaddr* get() const {
        return reinterpret_cast<const sockaddr*>(&address);
    }
};

// The address for `path`, or "path must be shorter than SUN_LEN" when the path and its
// terminating zero do not fit the platform's address field.
Result<SocketAddress> socket_address(std::string_view path);

class Socket {
  public:
    Socket() = default;
    explicit Socket(Descriptor fd) : fd_(std::move(fd)) {}

    [[nodiscard]] int fd() const { return fd_.get(); }
    void close() { fd_.close(); }

    // A Unix-domain stream socket, close-on-exec, whose sends never raise SIGPIPE.
    static Result<Socket> open_stream();

    // One attempt; "path must be shorter than SUN_LEN" when the path and its terminating
    // zero do not fit the platform's address field.
    [[nodiscard]] Status connect_to(std::string_view path) const;
    [[nodiscard]] Status set_timeouts(std::chrono::microseconds receive,
                                      std::chrono::microseconds send) const;

    // Sends every byte; EINTR is retried, a send taking nothing is "failed to write whole buffer".
    [[nodiscard]] Status send_all(std::span<const std::byte> bytes) const;
    // Fills the buffer; EINTR is retried, end of stream is "failed to fill whole buffer".
    [[nodiscard]] Status receive_exact(std::span<std::byte> bytes) const;

  private:
    Descriptor fd_;
};

// How many bytes a socket path may have on this platform (the address field less its zero).
std::size_t max_socket_path_length();

}  // namespace corvanelle
