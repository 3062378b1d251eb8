#include "report/output.hpp"

#include "shared/failure_texts.hpp"
#include "shared/io.hpp"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace corvanelle {

Status write_all(int fd, std::string_view text) {
    // A parent may have made the descriptor non-blocking (an event loop sharing a pipe): a
    // full pipe is then a wait for room, not a failure. poll() reports an error or a hang-up
    // as readiness, and the next write() then fails with the real error.
    const auto write_some = [fd](const char* at, std::size_t n) {
        for (;;) {
            const ssize_t written = ::write(fd, at, n);
            if (written >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                return written;
            }
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
                return ssize_t{-1};
            }
        }
    };
    return transfer_all(text.data(), text.size(), write_some, texts::kWriteIncomplete);
}

void TextOut::grow(std::size_t needed) {
    const std::size_t capacity = std::max({needed, capacity_ * 2, std::size_t{256}});
    // Left uninitialised: every byte is written before it is read.
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_ > 0) {
        std::memcpy(data.get(), data_.get(), size_);
    }
    data_ = std::move(data);
    capacity_ = capacity;
}

void TextOut::drain() {
    // After the first failed write the rest is dropped; finish() reports that failure.
    if (status_) {
        status_ = write_all(fd_, view());
    }
    size_ = 0;
}

void TextOut::put_long(std::string_view text) {
    drain();
    if (status_) {
        status_ = write_all(fd_, text);
    }
}

Status TextOut::finish() {
    if (fd_ >= 0) {
        drain();
    }
    return status_;
}

}  // namespace corvanelle
