// An open file descriptor, owned: closed exactly once, when its owner goes, and never copied.
// Every descriptor the client and the stand-in host open is held by one of these; a
// descriptor they only borrow (standard output, a descriptor named on the command line) is
// passed as a plain number.
#pragma once

#include <unistd.h>
#include <utility>

namespace corvanelle {

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Descriptor() { close(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool is_open() const { return fd_ >= 0; }

    // Hands the descriptor to an owner of another kind (a directory stream), which closes it.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    void close() {
        if (fd_ >= 0) {
            // The descriptor is gone after close() even when it reports EINTR: never retry.
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

}  // namespace corvanelle
