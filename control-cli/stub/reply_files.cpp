// What the reply options name, read (or checked) at set-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

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

// What a socket path names: its folder, by identity, and its name in that folder. A path
// that exists is resolved first, through every symbolic link in it.
struct Named {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
    bool operator==(const Named&) const = default;
};

std::optional<Named> named_by(const std::string& path) {
    std::string resolved = path;
    std::array<char, PATH_MAX> real{};
    if (::realpath(path.c_str(), real.data()) != nullptr) {
        resolved = real.data();
    }
    const auto slash = resolved.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : resolved.substr(0, slash);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return Named{info.st_dev, info.st_ino,
                 slash == std::string::npos ? resolved : resolved.substr(slash + 1)};
}

// The application's socket: a path that can be an address, and not the host's own socket by
// any spelling, whose requests would come back to it, each holding a connection for the next.
Status check_forward(const Settings& s) {
    if (s.forward_path.empty()) {
        return fail("cannot forward to an empty path");
    }
    if (auto address = socket_address(s.forward_path); !address) {
        return fail("cannot forward to " + s.forward_path + ": " + address.error().message);
    }
    const auto forward = named_by(s.forward_path);
    if (s.forward_path == s.socket_path || (forward && forward == named_by(s.socket_path))) {
        return fail("cannot forward to " + s.forward_path + ": it is the host's own socket");
    }
    return {};
}

}  // namespace

Status read_reply_options(Settings& s) {
    if (s.given.has(Option::forward)) {
        if (auto checked = check_forward(s); !checked) {
            return checked;
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
