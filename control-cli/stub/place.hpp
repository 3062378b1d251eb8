// The socket path, held: a lock on PATH.lock taken before anything at the path is probed or
// replaced, so that of two hosts starting on one path exactly one gets past it; a socket file
// left by a host that is gone replaced; the socket bound and listening before it appears at
// the path; and, at the end, removal of what this host made and nothing else.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <string>

#include "exchange/socket.hpp"
#include "shared/descriptor.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

class Place {
  public:
    // Locks the path and listens on it.
    Result<Socket> take(const std::string& path, std::size_t backlog);

    // Removes the socket file if it is still the one this host made, then the lock file if it
    // is still the one this host locked, while still holding the lock (a host waiting for it
    // checks that the file it locked is still the one at the path).
    void leave() const;

    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
    };
    Status lock();
    Status clear_the_way() const;
    Result<Socket> listen(std::size_t backlog);
    // What is at `name` in the folder is the file `file` is; never through a symbolic link.
    [[nodiscard]] bool is_still(const std::string& name, const Identity& file) const;

    std::string path_;
    std::string name_;       // the socket's name in its folder
    std::string lock_name_;  // the lock file's
    // The socket's folder, opened only to be named where the system allows (O_PATH, O_SEARCH):
    // the host needs no right to list it, nor the folder it was started in.
    Descriptor folder_;
    Descriptor lock_;
    Identity lock_file_;
    Identity socket_file_;
    bool made_ = false;
};

// The flags that open a folder only to name it, and to enter it.
int search_only_flags();

}  // namespace corvanelle::stub
