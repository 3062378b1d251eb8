#include "report/output.hpp"

#include "io.hpp"

#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace corvanelle {

Status write_all(int fd, std::string_view text) {
    return transfer_all(
        text.data(), text.size(),
        [fd](const char* at, std::size_t n) { return ::write(fd, at, n); },
        "failed to write whole buffer");
}

void TextOut::grow(std::size_t needed) {
    const std::size_t capacity = std::max({needed, capacity_ * 2, std::size_t{256}});
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
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
