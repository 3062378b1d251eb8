#include "report/output.hpp"

#include <unistd.h>
#include <cerrno>

namespace corvanelle {

Status write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(os_error_message(errno));
        }
        if (n == 0) {
            return fail("failed to write whole buffer");
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

void TextOut::drain() {
    if (status_) {
        status_ = write_all(fd_, text_);
    }
    text_.clear();
}

Status TextOut::finish() {
    if (fd_ >= 0) {
        drain();
    }
    return status_;
}

}  // namespace corvanelle
