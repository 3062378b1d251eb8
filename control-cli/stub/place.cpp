#include "place.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace corvanelle::stub {
namespace {

std::string in_use(const std::string& path) {
    return path + " is already in use by a running host";
}

}  // namespace

int search_only_flags() {
#if defined(O_PATH)
    return O_PATH | O_DIRECTORY | O_CLOEXEC;  // Linux
#elif defined(O_SEARCH)
    return O_SEARCH | O_DIRECTORY | O_CLOEXEC;  // macOS 13 and later: search rights alone
#else
    return O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
}

Result<Socket> Place::take(const std::string& path, std::size_t backlog) {
    const std::size_t longest = max_socket_path_length();
    if (path.empty() || path.size() > longest) {
        return fail("the socket path must have 1 to " + std::to_string(longest) + " bytes");
    }
    const auto slash = path.rfind('/');
    path_ = path;
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    lock_name_ = name_ + ".lock";
    if (name_.empty()) {
        return fail("the socket path " + path + " names a folder");
    }
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    folder_ = Descriptor(::open(folder.c_str(), search_only_flags()));
    if (!folder_.is_open()) {
        return fail("cannot enter the folder of " + path + ": " + os_error_message(errno));
    }
    if (auto locked = lock(); !locked) {
        return forward_failure(locked);
    }
    if (auto cleared = clear_the_way(); !cleared) {
        return forward_failure(cleared);
    }
    return listen(backlog);
}

// An advisory lock is the one check-and-take the system makes atomic for us, it is released
// by the system when its holder ends however it ends, and it needs nothing that a stale
// socket could fake. The lock file is taken again when it was replaced after it was opened.
Status Place::lock() {
    const std::string lock_path = path_ + ".lock";
    for (int attempt = 0; attempt < 100; ++attempt) {
        Descriptor file(::openat(folder_.get(), lock_name_.c_str(),
                                 O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        struct stat held {};
        if (!file.is_open() || ::fstat(file.get(), &held) != 0) {
            return fail("cannot lock " + lock_path + ": " + os_error_message(errno));
        }
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                return fail(in_use(path_));
            }
            return fail("cannot lock " + lock_path + ": " + os_error_message(errno));
        }
        const Identity locked{held.st_dev, held.st_ino};
        if (is_still(lock_name_, locked)) {
            lock_ = std::move(file);
            lock_file_ = locked;
            return {};
        }
        // Removed by a host that was leaving: take the new one.
    }
    return fail("cannot lock " + lock_path + ": it keeps being replaced");
}

bool Place::is_still(const std::string& name, const Identity& file) const {
    struct stat there {};
    return ::fstatat(folder_.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           there.st_dev == file.device && there.st_ino == file.inode;
}

// A socket file left by a host that is gone is replaced; a live one, or anything that is not
// a socket, is refused. Runs under the lock.
Status Place::clear_the_way() const {
    struct stat existing {};
    if (::fstatat(folder_.get(), name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        return {};
    }
    if (!S_ISSOCK(existing.st_mode)) {
        return fail(path_ + " already exists and is not a socket");
    }
    auto probe = Socket::open_stream();
    if (!probe) {
        return forward_failure(probe);
    }
    const auto connected = probe->connect_to(path_);
    if (connected) {
        return fail(in_use(path_));
    }
    if (connected.error().message != os_error_message(ECONNREFUSED)) {
        return fail("cannot use " + path_ + ": " + connected.error().message);
    }
    if (::unlinkat(folder_.get(), name_.c_str(), 0) != 0 && errno != ENOENT) {
        return fail("cannot replace the stale socket " + path_ + ": " + os_error_message(errno));
    }
    return {};
}

// Binds and listens under a short temporary name in the socket's own folder, then renames it
// into place, so that the path exists only once connections to it are accepted, whatever its
// length. Binding takes a path, so the host enters the folder for it and then goes back; where
// the starting folder cannot be opened again (macOS without O_SEARCH, a folder it may not
// list), it stays: nothing after this names a path relative to the starting folder.
Result<Socket> Place::listen(std::size_t backlog) {
    const Descriptor here(::open(".", search_only_flags()));
    if (::fchdir(folder_.get()) != 0) {
        return fail("cannot enter the folder of " + path_ + ": " + os_error_message(errno));
    }
    const std::string temporary = ".stub-" + std::to_string(::getpid());
    auto socket = Socket::open_stream();
    const auto address = socket_address(temporary);
    std::string failure;
    if (!socket || !address) {
        failure = socket ? address.error().message : socket.error().message;
    } else {
        (void)::unlink(temporary.c_str());
        struct stat made {};
        if (::bind(socket->fd(), address->get(), address->length) != 0 ||
            ::lstat(temporary.c_str(), &made) != 0 ||
            ::listen(socket->fd(), static_cast<int>(backlog)) != 0 ||
            ::rename(temporary.c_str(), name_.c_str()) != 0) {
            failure = os_error_message(errno);
            (void)::unlink(temporary.c_str());
        } else {
            socket_file_ = {made.st_dev, made.st_ino};
            made_ = true;
        }
    }
    if (here.is_open() && ::fchdir(here.get()) != 0 && failure.empty()) {
        failure = "cannot return to the starting folder: " + os_error_message(errno);
    }
    if (!failure.empty()) {
        return fail("cannot listen on " + path_ + ": " + failure);
    }
    return std::move(*socket);
}

void Place::leave() const {
    if (made_ && is_still(name_, socket_file_)) {
        (void)::unlinkat(folder_.get(), name_.c_str(), 0);
    }
    if (lock_.is_open() && is_still(lock_name_, lock_file_)) {
        (void)::unlinkat(folder_.get(), lock_name_.c_str(), 0);
    }
}

}  // namespace corvanelle::stub
