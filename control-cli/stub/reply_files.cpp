// What the reply options name, read (or checked) at set-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>

#include "replies.hpp"

namespace corvanelle::stub {
namespace {

// A file of at most `limit` bytes.
Result<std::string> read_reply_file(const std::string& path, std::size_t limit) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!file.is_open() || ::fstat(file.get(), &info) != 0) {
        return fail("cannot read " + path + ": " + os_error_message(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return fail("cannot read " + path + ": " + os_error_message(EISDIR));
    }
    std::string content;
    std::array<char, 65536> piece{};
    for (;;) {
        const ssize_t n = ::read(file.get(), piece.data(), piece.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail("cannot read " + path + ": " + os_error_message(errno));
        }
        if (n == 0) {
            return content;
        }
        if (static_cast<std::size_t>(n) > limit - content.size()) {
            return fail("cannot use " + path + ": longer than " + std::to_string(limit) + " bytes");
        }
        content.append(piece.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace

Status read_reply_options(Settings& s) {
    if (s.given.has(Option::forward)) {
        if (auto address = socket_address(s.forward_path); !address) {
            return fail("cannot forward to " + s.forward_path + ": " + address.error().message);
        }
        // Its own requests would come back to it, each holding a connection for the next.
        if (s.forward_path == s.socket_path) {
            return fail("cannot forward to " + s.forward_path + ": it is the host's own socket");
        }
    }
    if (s.given.has(Option::replies)) {
        s.replies_folder =
            Descriptor(::open(s.replies_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!s.replies_folder.is_open()) {
            return fail("cannot open the replies folder " + s.replies_path + ": " +
                        os_error_message(errno));
        }
    }
    if (s.given.has(Option::reply)) {
        auto payload = read_reply_file(s.reply_path, kFrameLimit);
        if (!payload) {
            return forward_failure(payload);
        }
        if (payload->empty()) {
            return fail("cannot use " + s.reply_path + ": a reply must have 1 to " +
                        std::to_string(kFrameLimit) + " bytes, and it is empty");
        }
        s.reply_payload = std::move(*payload);
    }
    if (s.given.has(Option::raw)) {
        // --raw sends broken frames on purpose, of any length up to twice the limit.
        auto bytes = read_reply_file(s.raw_path, kRawLimit);
        if (!bytes) {
            return forward_failure(bytes);
        }
        s.raw_bytes = std::move(*bytes);
    }
    return {};
}

}  // namespace corvanelle::stub
